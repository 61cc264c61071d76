// What users get: the same workloads through eventd and through its peers
// (ZeroMQ with and without a proxy, NATS, Redis pub/sub, D-Bus signals),
// each party a process of its own: the middle process (eventd, the proxy or
// the server), every publisher and every subscriber. A subscriber's handler,
// on the thread its library delivers on, counts each event and checks it
// against its publisher's sequence. Prints markdown tables: rates and round trips with
// eventd's ratio to each peer, then losses, gaps and reordering, then peak
// resident memory.
//
//   peers_bench [EVENTS [ROUND_TRIPS]]        (defaults 200000 and 20000)
//   EVT_BENCH_ONLY=1to1,1to1k,1to4,4to1,rtt,fed   rows to run (default all; fed: across two
//                                             federated eventd, beside NATS; with a stream,
//                                             beside NATS JetStream)
//   EVT_BENCH_PEERS=eventd,zeromq,zeromq-direct,nats,redis,dbus,jetstream,federated,federated-stream
//                                             transports (default all built but jetstream,
//                                             which runs beside federated-stream)
//   EVT_BENCH_FANOUT=N                        events of the 1to4 row (default EVENTS / 2)
//   EVT_BENCH_DRAIN_MS=N                      how long a subscriber waits for a late
//                                             event once publishers are done (10000)
//   EVT_BENCH_TRIALS=N                        trials of every cell (default 3): figures are
//                                             their medians, deliveries are counted over all
//   EVT_BENCH_KEEP=1                          keep the run folder (logs) and say where
//
// Parties run as `peers_bench --role ...` (bench/peers/Harness.cpp).
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "bench/BenchIsolation.h"
#include "bench/peers/Harness.h"

namespace {

using peers::Clock;
using peers::Transport;

// ------------------------------------------------ child processes

std::string g_self;
std::string g_root;  // the run folder, removed at the end
pid_t g_live[64];    // for the interrupt handler
int g_liveCount = 0;

void track(pid_t pid) {
  for (int i = 0; i < g_liveCount; ++i) {
    if (g_live[i] == -1) {
      g_live[i] = pid;
      return;
    }
  }
  if (g_liveCount < 64) g_live[g_liveCount++] = pid;
}

void untrack(pid_t pid) {
  for (int i = 0; i < g_liveCount; ++i) {
    if (g_live[i] == pid) g_live[i] = -1;
  }
}

int removeEntry(const char* path, const struct stat*, int, FTW*) { return remove(path); }

void removeTree(const std::string& path) { nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); }

void cleanUp() {
  if (!g_root.empty() && std::getenv("EVT_BENCH_KEEP") == nullptr) removeTree(g_root);
  evt::bench::removeOwnBlocks();
}

void onInterrupt(int) {
  for (int i = 0; i < g_liveCount; ++i) {
    if (g_live[i] > 0) kill(g_live[i], SIGKILL);
  }
  for (int i = 0; i < g_liveCount; ++i) {
    if (g_live[i] > 0) waitpid(g_live[i], nullptr, 0);
  }
  cleanUp();
  _exit(130);
}

// A party: this program with a role, its standard input and output piped.
struct Party {
  std::string name;
  pid_t pid = -1;
  int in = -1, out = -1;
  std::string buffer;
  std::map<std::string, std::string> result;
  std::string failure;  // why it gave no result
  long rssKb = 0;

  double number(const char* key) const {
    auto found = result.find(key);
    return found == result.end() ? 0 : std::atof(found->second.c_str());
  }
};

Party spawnParty(const std::string& name, const std::vector<std::string>& args, const std::string& log) {
  Party party;
  party.name = name;
  int toChild[2], fromChild[2];
  if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) return party;
  party.pid = fork();
  if (party.pid == 0) {
    dup2(toChild[0], 0);
    dup2(fromChild[1], 1);
    const int err = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (err >= 0) dup2(err, 2);
    std::vector<std::string> argv{g_self, "--role"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& arg : argv) raw.push_back(&arg[0]);
    raw.push_back(nullptr);
    execv(g_self.c_str(), raw.data());
    _exit(127);
  }
  track(party.pid);
  close(toChild[0]);
  close(fromChild[1]);
  party.in = toChild[1];
  party.out = fromChild[0];
  return party;
}

void tell(Party& party, const char* line) {
  if (party.in < 0) return;
  const std::string text = std::string(line) + "\n";
  if (write(party.in, text.data(), text.size()) < 0) {
    close(party.in);
    party.in = -1;
  }
}

// Reads the parties' lines until each has said a line beginning with `word`
// (stored in `result` when word is "result"), failed, or the deadline passed.
// Returns whether all of them said it.
bool await(std::vector<Party*> parties, const std::string& word, Clock::time_point deadline) {
  std::vector<Party*> waiting = parties;
  while (!waiting.empty()) {
    std::vector<pollfd> fds;
    for (Party* party : waiting) fds.push_back(pollfd{party->out, POLLIN, 0});
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    if (poll(fds.data(), fds.size(), static_cast<int>(std::min<long long>(left, 1000))) <= 0) continue;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      Party& party = *waiting[i];
      char chunk[1024];
      const ssize_t n = read(party.out, chunk, sizeof chunk);
      if (n <= 0) {
        party.failure = "exited before saying '" + word + "'";
        continue;
      }
      party.buffer.append(chunk, static_cast<std::size_t>(n));
    }
    std::vector<Party*> still;
    for (Party* party : waiting) {
      bool heard = false;
      for (std::size_t newline; !heard && (newline = party->buffer.find('\n')) != std::string::npos;) {
        const std::string line = party->buffer.substr(0, newline);
        party->buffer.erase(0, newline + 1);
        if (line.compare(0, 7, "failed ") == 0) {
          party->failure = line.substr(7);
          heard = true;
        } else if (line.compare(0, word.size(), word) == 0) {
          heard = true;
          std::istringstream fields(line.substr(word.size()));
          for (std::string field; fields >> field;) {
            const std::size_t equals = field.find('=');
            if (equals != std::string::npos) party->result[field.substr(0, equals)] = field.substr(equals + 1);
          }
        }
      }
      if (!heard && party->failure.empty()) still.push_back(party);
    }
    waiting.swap(still);
  }
  for (Party* party : waiting) {
    if (party->failure.empty()) party->failure = "said no '" + word + "' in time";
  }
  bool all = true;
  for (Party* party : parties) all = all && party->failure.empty();
  return all;
}

// Waits up to `graceMs` for the process to end, then kills it; its peak
// memory is read while it lives (0 when it had ended).
void reap(pid_t pid, int graceMs, long* rssKb) {
  if (pid <= 0) return;
  const auto deadline = Clock::now() + std::chrono::milliseconds(graceMs);
  while (waitpid(pid, nullptr, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      if (rssKb != nullptr && *rssKb == 0) *rssKb = peers::peakRssKb(pid);
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  untrack(pid);
}

void endParty(Party& party) {
  if (party.in >= 0) close(party.in);
  party.in = -1;
  long whenKilled = 0;
  reap(party.pid, 3000, &whenKilled);
  party.rssKb = party.result.count("rss") != 0 ? std::atol(party.result["rss"].c_str()) : whenKilled;
  if (party.out >= 0) close(party.out);
  party.out = -1;
}

// ------------------------------------------------ workloads

struct Workload {
  std::string key;
  std::string label;
  std::size_t size;
  int publishers;
  int subscribers;
  long perPublisher;  // events; round trips for rtt
};

struct Cell {
  bool ran = false;
  double value = 0, value2 = 0;  // deliveries/s; or p50 and p99 in us
  long expected = 0, received = 0, lost = 0, gaps = 0, reordered = 0, duplicates = 0, missed = 0;
  long brokerKb = 0, publisherKb = 0, subscriberKb = 0;
  std::vector<std::string> notes;
};

struct Run {
  std::string dir;
  peers::Broker broker;
  long brokerKb = 0;
};

int g_cellNumber = 0;

Run startRun(const Transport& transport, const Workload& workload) {
  Run run;
  run.dir = g_root + "/" + std::to_string(++g_cellNumber);  // short: socket paths
  std::fprintf(stderr, "peers_bench: %s through %s in %s\n", workload.key.c_str(), transport.name(),
               run.dir.c_str());
  mkdir(run.dir.c_str(), 0700);
  mkdir((run.dir + "/run").c_str(), 0700);
  mkdir((run.dir + "/log").c_str(), 0700);
  // eventd's isolation, inherited by it and every party.
  setenv("EVT_RUNTIME_DIR", (run.dir + "/run").c_str(), 1);
  setenv("EVT_LOG_DIR", (run.dir + "/log").c_str(), 1);
  setenv("EVT_SHM_PREFIX", (evt::bench::prefix() + std::to_string(g_cellNumber) + ".").c_str(), 1);
  run.broker = transport.start(run.dir);
  if (run.broker.pid > 0) track(run.broker.pid);
  return run;
}

void stopRun(Run& run) {
  if (run.broker.pid > 0) {
    run.brokerKb = peers::peakRssKb(run.broker.pid);
    kill(run.broker.pid, SIGTERM);
    long ignored = 1;
    reap(run.broker.pid, 5000, &ignored);
  }
  if (std::getenv("EVT_BENCH_KEEP") == nullptr) removeTree(run.dir);
  evt::bench::removeOwnBlocks();
}

// Starts the row's middle process; false (said in the cell) when it did not.
bool startCell(const Transport& transport, const Workload& workload, Cell* cell, Run* run) {
  cell->ran = true;
  *run = startRun(transport, workload);
  if (run->broker.pid > 0) return true;
  cell->notes.push_back("middle process did not start");
  return false;
}

void note(Cell& cell, const Party& party) {
  if (!party.failure.empty()) cell.notes.push_back(party.name + " " + party.failure);
}

Cell throughput(const Transport& transport, const Workload& workload) {
  Cell cell;
  Run run;
  if (!startCell(transport, workload, &cell, &run)) return cell;
  const std::string subject = "bench";
  std::vector<Party> subs, pubs;
  for (int i = 0; i < workload.subscribers; ++i) {
    subs.push_back(spawnParty("subscriber " + std::to_string(i),
                              {"sub", transport.name(), run.broker.address, subject,
                               std::to_string(workload.publishers), std::to_string(workload.perPublisher)},
                              run.dir + "/sub" + std::to_string(i) + ".err"));
  }
  for (int i = 0; i < workload.publishers; ++i) {
    pubs.push_back(spawnParty("publisher " + std::to_string(i),
                              {"pub", transport.name(), run.broker.address, subject, std::to_string(i),
                               std::to_string(workload.perPublisher), std::to_string(workload.size)},
                              run.dir + "/pub" + std::to_string(i) + ".err"));
  }
  std::vector<Party*> subPtrs, pubPtrs, all;
  for (Party& party : subs) subPtrs.push_back(&party);
  for (Party& party : pubs) pubPtrs.push_back(&party);
  all = subPtrs;
  all.insert(all.end(), pubPtrs.begin(), pubPtrs.end());
  cell.expected = workload.perPublisher * workload.publishers * workload.subscribers;
  long long goNs = 0;
  if (await(all, "ready", Clock::now() + std::chrono::seconds(60))) {
    goNs = peers::nowNs();
    for (Party& party : pubs) tell(party, "go");
    await(pubPtrs, "result", Clock::now() + std::chrono::seconds(300));
    for (Party& party : subs) tell(party, "done");
    await(subPtrs, "result", Clock::now() + std::chrono::seconds(180));
  }
  long long lastNs = 0;
  for (Party& party : subs) {
    note(cell, party);
    cell.received += static_cast<long>(party.number("received"));
    cell.gaps += static_cast<long>(party.number("gaps"));
    cell.reordered += static_cast<long>(party.number("reordered"));
    cell.duplicates += static_cast<long>(party.number("duplicates"));
    cell.missed += static_cast<long>(party.number("missed"));
    if (party.number("foreign") > 0) cell.notes.push_back(party.name + " got unreadable events");
    lastNs = std::max(lastNs, std::atoll(party.result.count("last_ns") ? party.result["last_ns"].c_str() : "0"));
  }
  for (Party& party : pubs) {
    note(cell, party);
    if (party.result.count("finished") != 0 && party.number("finished") == 0) {
      cell.notes.push_back(party.name + ": its final flush/completion did not come within 60 s");
    }
    if (party.number("refused") > 0) {
      cell.notes.push_back(party.name + ": " + party.result["refused"] + " events refused by the client library");
    }
  }
  cell.lost = cell.expected - cell.received;
  if (lastNs > goNs && goNs > 0) cell.value = cell.received / ((lastNs - goNs) / 1e9);
  for (Party& party : pubs) endParty(party);
  for (Party& party : subs) endParty(party);
  stopRun(run);
  cell.brokerKb = run.brokerKb;
  for (Party& party : pubs) cell.publisherKb = std::max(cell.publisherKb, party.rssKb);
  for (Party& party : subs) cell.subscriberKb = std::max(cell.subscriberKb, party.rssKb);
  return cell;
}

Cell roundTrip(const Transport& transport, const Workload& workload) {
  Cell cell;
  Run run;
  if (!startCell(transport, workload, &cell, &run)) return cell;
  Party pong = spawnParty("ponger", {"pong", transport.name(), run.broker.address}, run.dir + "/pong.err");
  Party ping = spawnParty("pinger",
                          {"ping", transport.name(), run.broker.address, std::to_string(workload.perPublisher),
                           std::to_string(workload.size)},
                          run.dir + "/ping.err");
  cell.expected = workload.perPublisher;
  if (await({&pong, &ping}, "ready", Clock::now() + std::chrono::seconds(60))) {
    tell(ping, "go");
    // At most 5 s per lost round trip, plus the warm-up.
    await({&ping}, "result", Clock::now() + std::chrono::seconds(120 + workload.perPublisher / 100));
    tell(pong, "done");
    await({&pong}, "result", Clock::now() + std::chrono::seconds(10));
  }
  note(cell, ping);
  note(cell, pong);
  cell.value = ping.number("p50");
  cell.value2 = ping.number("p99");
  cell.received = static_cast<long>(ping.number("measured"));
  cell.lost = cell.expected - cell.received;
  if (ping.result.count("warm") != 0 && ping.number("warm") < 500) {
    cell.notes.push_back("pinger: fewer than 500 warm-up round trips came back in 30 s");
  }
  endParty(ping);
  endParty(pong);
  stopRun(run);
  cell.brokerKb = run.brokerKb;
  cell.publisherKb = ping.rssKb;
  cell.subscriberKb = pong.rssKb;
  return cell;
}

// Several trials of one cell as one: the median of each figure (one trial on
// a shared machine moves by a third either way, whichever the transport),
// the deliveries of every trial counted, the largest memory.
Cell combine(const std::vector<Cell>& trials) {
  auto median = [](std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
  };
  Cell cell;
  std::vector<double> values, values2;
  for (std::size_t i = 0; i < trials.size(); ++i) {
    const Cell& trial = trials[i];
    cell.ran = cell.ran || trial.ran;
    if (trial.value > 0) values.push_back(trial.value);
    if (trial.value2 > 0) values2.push_back(trial.value2);
    cell.expected += trial.expected;
    cell.received += trial.received;
    cell.lost += trial.lost;
    cell.gaps += trial.gaps;
    cell.reordered += trial.reordered;
    cell.duplicates += trial.duplicates;
    cell.missed += trial.missed;
    cell.brokerKb = std::max(cell.brokerKb, trial.brokerKb);
    cell.publisherKb = std::max(cell.publisherKb, trial.publisherKb);
    cell.subscriberKb = std::max(cell.subscriberKb, trial.subscriberKb);
    for (const std::string& text : trial.notes) cell.notes.push_back("trial " + std::to_string(i + 1) + ": " + text);
  }
  cell.value = median(values);
  cell.value2 = median(values2);
  return cell;
}

// ------------------------------------------------ table

std::set<std::string> listFrom(const char* text) {
  std::set<std::string> items;
  if (text == nullptr) return items;
  std::stringstream stream(text);
  for (std::string item; std::getline(stream, item, ',');) {
    if (!item.empty()) items.insert(item);
  }
  return items;
}

std::string rate(double perSecond) {
  char text[32];
  if (perSecond <= 0) return "-";
  std::snprintf(text, sizeof text, "%.0f", perSecond);
  return text;
}

std::string micros(double us) {
  char text[32];
  if (us <= 0) return "-";
  std::snprintf(text, sizeof text, "%.0f", us);
  return text;
}

std::string ratio(double eventd, double peer) {
  char text[32];
  if (eventd <= 0 || peer <= 0) return "-";
  std::snprintf(text, sizeof text, "%.2f", eventd / peer);
  return text;
}

std::string megabytes(long kb) {
  char text[32];
  if (kb <= 0) return "?";
  std::snprintf(text, sizeof text, "%.1f", kb / 1024.0);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--role") == 0) return peers::runRole(argc, argv);

  const long count = argc > 1 ? std::atol(argv[1]) : 200000;
  const long rounds = argc > 2 ? std::atol(argv[2]) : 20000;
  const long fanout = std::getenv("EVT_BENCH_FANOUT") != nullptr ? std::atol(std::getenv("EVT_BENCH_FANOUT"))
                                                                 : std::max(1L, count / 2);
  const int trialCount =
      std::getenv("EVT_BENCH_TRIALS") != nullptr ? std::max(1, std::atoi(std::getenv("EVT_BENCH_TRIALS"))) : 3;
  const std::set<std::string> only = listFrom(std::getenv("EVT_BENCH_ONLY"));
  const std::set<std::string> chosen = listFrom(std::getenv("EVT_BENCH_PEERS"));

  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return 1;
  self[n] = '\0';
  g_self = self;
  evt::bench::isolate();
  // Short: eventd's socket name is long and a socket path has 107 bytes.
  char dir[] = "/tmp/evt-peers-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  g_root = dir;
  signal(SIGPIPE, SIG_IGN);
  signal(SIGINT, onInterrupt);
  signal(SIGTERM, onInterrupt);

  std::vector<const Transport*> used;
  for (const Transport* transport : peers::transports()) {
    const bool picked = chosen.empty() ? !transport->onlyBeside() : chosen.count(transport->name()) != 0;
    if (picked && !transport->acrossMachines()) used.push_back(transport);
  }
  // Across machines: each transport spanning two, beside its peer of one.
  std::vector<std::pair<const Transport*, const Transport*>> acrossPairs;
  for (const Transport* transport : peers::transports()) {
    const Transport* direct = peers::findTransport(transport->beside());
    if (transport->acrossMachines() && direct != nullptr && (only.empty() || only.count("fed") != 0) &&
        (chosen.empty() || chosen.count(transport->name()) != 0)) {
      acrossPairs.emplace_back(transport, direct);
    }
  }
  const std::vector<Workload> workloads = {
      {"1to1", "1→1 100 B", 100, 1, 1, count},
      {"1to1k", "1→1 1 KB", 1024, 1, 1, count},
      {"1to4", "1→4 100 B", 100, 1, 4, fanout},
      {"4to1", "4→1 100 B, one subject", 100, 4, 1, std::max(1L, count / 4)},
      {"rtt", "round trip 100 B", 100, 1, 1, rounds},
  };
  std::vector<const Workload*> rows;
  for (const Workload& workload : workloads) {
    if (only.empty() || only.count(workload.key) != 0) rows.push_back(&workload);
  }

  // Every cell, one at a time; progress on standard error.
  // The trials of a row take the transports in turn, so that what else the
  // machine does meanwhile falls on all of them alike.
  auto measure = [](const Transport& transport, const Workload& workload, bool rtt) {
    return rtt ? roundTrip(transport, workload) : throughput(transport, workload);
  };
  std::map<std::pair<std::string, std::string>, Cell> cells;
  for (const Workload* workload : rows) {
    std::map<std::string, std::vector<Cell>> trials;
    for (int trial = 0; trial < trialCount; ++trial) {
      for (const Transport* transport : used) {
        trials[transport->name()].push_back(measure(*transport, *workload, workload->key == "rtt"));
      }
    }
    for (const Transport* transport : used) {
      cells[{workload->key, transport->name()}] = combine(trials[transport->name()]);
    }
  }

  const Workload acrossStream{"fed", "1→1 100 B", 100, 1, 1, count};
  const Workload acrossRoundTrip{"fed", "round trip 100 B", 100, 1, 1, rounds};
  std::map<std::string, std::pair<Cell, Cell>> acrossCells;  // by transport: stream, round trip
  for (const auto& pair : acrossPairs) {
    std::map<std::string, std::vector<Cell>> streams, roundTrips;
    for (int trial = 0; trial < trialCount; ++trial) {
      for (const Transport* transport : {pair.first, pair.second}) {
        streams[transport->name()].push_back(measure(*transport, acrossStream, false));
      }
    }
    for (int trial = 0; trial < trialCount; ++trial) {
      for (const Transport* transport : {pair.first, pair.second}) {
        roundTrips[transport->name()].push_back(measure(*transport, acrossRoundTrip, true));
      }
    }
    for (const Transport* transport : {pair.first, pair.second}) {
      acrossCells[transport->name()] = {combine(streams[transport->name()]), combine(roundTrips[transport->name()])};
    }
  }

  const bool withEventd = !used.empty() && std::string(used[0]->name()) == "eventd";
  auto header = [&](const char* first, bool ratios) {
    std::printf("| %s |", first);
    for (const Transport* transport : used) std::printf(" %s |", transport->name());
    if (ratios && withEventd) {
      for (std::size_t i = 1; i < used.size(); ++i) std::printf(" eventd/%s |", used[i]->name());
    }
    std::printf("\n|---|");
    for (std::size_t i = 0; i < used.size(); ++i) std::printf("---:|");
    if (ratios && withEventd) {
      for (std::size_t i = 1; i < used.size(); ++i) std::printf("---:|");
    }
    std::printf("\n");
  };

  if (!rows.empty()) {
    std::printf("%ld events per 1→1 row, %ld per 1→4 row (to each of 4 subscribers), 4 × %ld in the 4→1 row, "
                "%ld round trips after 500 of warm-up; every party a process of its own. Every cell ran %d "
                "times, the trials of a row taking the transports in turn; a figure is the median of its "
                "trials.\n\n",
                count, fanout, std::max(1L, count / 4), rounds, trialCount);
    std::printf("Rates are events received by subscribers per second, from the start signal to the last event "
                "consumed (1→4: deliveries to all four). Ratio = eventd's figure / the peer's: above 1 eventd "
                "is faster for rates, below 1 it is faster for round trips.\n\n");
    header("workload", true);
    for (const Workload* workload : rows) {
      const bool rtt = workload->key == "rtt";
      for (int line = 0; line < (rtt ? 2 : 1); ++line) {
        std::string label = workload->label + (rtt ? (line == 0 ? ", p50 µs" : ", p99 µs") : ", events/s");
        if (workload->key == "1to4") label = workload->label + ", deliveries/s";
        std::printf("| %s |", label.c_str());
        auto figure = [&](const Cell& cell) { return rtt ? (line == 0 ? cell.value : cell.value2) : cell.value; };
        for (const Transport* transport : used) {
          const Cell& cell = cells[{workload->key, transport->name()}];
          std::printf(" %s |", rtt ? micros(figure(cell)).c_str() : rate(figure(cell)).c_str());
        }
        if (withEventd) {
          const double mine = figure(cells[{workload->key, "eventd"}]);
          for (std::size_t i = 1; i < used.size(); ++i) {
            std::printf(" %s |", ratio(mine, figure(cells[{workload->key, used[i]->name()}])).c_str());
          }
        }
        std::printf("\n");
      }
    }

    std::printf("\nDelivery: lost (expected − distinct received; round trips: no answer within 5 s) / gaps (a "
                "publisher's sequence jumped ahead) / reordered (a sequence number below one already seen); "
                "duplicates and eventd's missed-event reports when any; added up over all trials.\n\n");
    header("workload", false);
    for (const Workload* workload : rows) {
      std::printf("| %s |", workload->label.c_str());
      for (const Transport* transport : used) {
        const Cell& cell = cells[{workload->key, transport->name()}];
        std::string text = std::to_string(cell.lost) + " / " + std::to_string(cell.gaps) + " / " +
                           std::to_string(cell.reordered);
        if (cell.duplicates > 0) text += ", dup " + std::to_string(cell.duplicates);
        if (cell.missed > 0) text += ", missed-event reports " + std::to_string(cell.missed);
        std::printf(" %s |", text.c_str());
      }
      std::printf("\n");
    }

    std::printf("\nPeak resident memory (VmHWM), MB: middle process / largest publisher (pinger) / largest "
                "subscriber (ponger).\n\n");
    header("workload", false);
    for (const Workload* workload : rows) {
      std::printf("| %s |", workload->label.c_str());
      for (const Transport* transport : used) {
        const Cell& cell = cells[{workload->key, transport->name()}];
        std::printf(" %s / %s / %s |", megabytes(cell.brokerKb).c_str(), megabytes(cell.publisherKb).c_str(),
                    megabytes(cell.subscriberKb).c_str());
      }
      std::printf("\n");
    }
  }

  for (const auto& pair : acrossPairs) {
    const Transport* across = pair.first;
    const Transport* direct = pair.second;
    const Cell& stream = acrossCells[across->name()].first;
    const Cell& rtt = acrossCells[across->name()].second;
    const Cell& directStream = acrossCells[direct->name()].first;
    const Cell& directRtt = acrossCells[direct->name()].second;
    std::printf("\nAcross machines (%s): two eventd (server ids 1 and 2) federated through one nats-server, the "
                "publisher on server 1 and the subscriber on server 2; beside a %s publisher and subscriber "
                "of the same run (EVT_BENCH_ONLY=fed runs only this); medians of %d trials, losses added "
                "up.\n\n",
                across->name(), direct->name(), trialCount);
    std::printf("| workload | %s | %s | %s/%s |\n|---|---:|---:|---:|\n", across->name(), direct->name(),
                across->name(), direct->name());
    std::printf("| %s, events/s | %s | %s | %s |\n", acrossStream.label.c_str(), rate(stream.value).c_str(),
                rate(directStream.value).c_str(), ratio(stream.value, directStream.value).c_str());
    std::printf("| %s, p50 µs | %s | %s | %s |\n", acrossRoundTrip.label.c_str(), micros(rtt.value).c_str(),
                micros(directRtt.value).c_str(), ratio(rtt.value, directRtt.value).c_str());
    std::printf("| %s, p99 µs | %s | %s | %s |\n", acrossRoundTrip.label.c_str(), micros(rtt.value2).c_str(),
                micros(directRtt.value2).c_str(), ratio(rtt.value2, directRtt.value2).c_str());
    std::printf("| lost / gaps / reordered (1→1) | %ld / %ld / %ld | %ld / %ld / %ld | |\n", stream.lost,
                stream.gaps, stream.reordered, directStream.lost, directStream.gaps, directStream.reordered);
    for (const Transport* transport : {across, direct}) {
      const auto& entry = acrossCells[transport->name()];
      for (const Cell* cell : {&entry.first, &entry.second}) {
        for (const std::string& text : cell->notes) std::printf("\n- %s: %s\n", transport->name(), text.c_str());
      }
    }
    // For the list of transports below.
    for (const Transport* transport : {across, direct}) {
      if (std::find(used.begin(), used.end(), transport) == used.end()) used.push_back(transport);
    }
  }

  bool anyNote = false;
  for (const Workload* workload : rows) {
    for (const Transport* transport : used) {
      for (const std::string& text : cells[{workload->key, transport->name()}].notes) {
        if (!anyNote) std::printf("\nWhat went wrong:\n\n");
        anyNote = true;
        std::printf("- %s, %s: %s\n", workload->key.c_str(), transport->name(), text.c_str());
      }
    }
  }
  std::printf("\nTransports:\n\n");
  for (const Transport* transport : used) std::printf("- %s: %s\n", transport->name(), transport->shape());
  if (std::getenv("EVT_BENCH_KEEP") != nullptr) std::printf("\nrun folder kept: %s\n", g_root.c_str());
  cleanUp();
  return 0;
}
