// Child processes for the multi-process tests, built for each ABI so that 32-bit and 64-bit processes share one
// store (the target is named seqlock_helper: scripts/build hands the i386 one to the x86_64 build). Store modes:
//   nextseq CATEGORY COUNT FILE: COUNT numbers from the store, written to FILE as native 64-bit integers.
//   diehold CATEGORY: dies (SIGKILL) holding the category's record.
//   dieinit CATEGORY: dies creating the record: its mutex held, its block created, nothing written.
// Host modes, a real CEventLib publishing or subscribing as an application would:
//   pub CATEGORY NAME COUNT RATE SIZE [end]: COUNT events of SIZE bytes, data "NAME:INDEX:" padded, each with
//       deliverEvent + execute(0), RATE a second (0: as fast as it can); then one event "end" when asked, and a
//       completion that it waits for. Prints "published COUNT".
//   sub CATEGORY ENDS TIMEOUT_MS [SERVER]: subscribes (to SERVER's CATEGORY; default this server's), prints "ready"
//       once the service confirmed, and checks the order (numbers strictly increasing, each publisher's indexes
//       increasing). Prints "missed SEQNO" for every missed-event report, "eventsystem connected|disconnected
//       SERVER" and "notice publish|retract SERVER" as they come, and at the end "received N missed M disorder D
//       unreported U span S away A" (U: events whose number skipped ahead with no report before them; S: the last
//       event's number - the first's + 1; A: events and reports of a server between its "disconnected" and the
//       next "connected"); ends after ENDS "end" events or TIMEOUT_MS.
//   retry CATEGORY NAME COUNT RATE SIZE [end]: as pub, but a deliverEvent or execute refused (the service is away)
//       is tried again every millisecond, as a publisher riding out a service restart does.
//   quit CATEGORY COUNT: registers, delivers COUNT events numbered from 0 in data and calls finalize at once
//       (no execute). Prints "finalized".
//   construct: creates a client as a host would, catching std::exception: prints "constructed", or "refused: " and
//       what() and exits 1.
//   take CATEGORY: takes one number for an event and dies (SIGKILL) before sending it.
//   static CATEGORY: a client of static storage numbers one event from the main thread, and main returns: the
//       client is destroyed after the main thread's own storage.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Library/CEventLib.h"
#include "Service/CategorySeqNo.h"
#include "platform/CPortable.h"
#include "trace/KelException.h"

namespace {

int nextSeq(const std::string& category, long times, const char* path) {
  CCategorySeqNo store;
  std::vector<unsigned long long> numbers(static_cast<std::size_t>(times));
  for (auto& number : numbers)
    if (store.getNextSeqNo(category, &number) != 0) return 4;
  FILE* out = std::fopen(path, "wb");
  bool written = out != nullptr && std::fwrite(numbers.data(), sizeof numbers[0], numbers.size(), out) == numbers.size();
  return out != nullptr && std::fclose(out) == 0 && written ? 0 : 5;
}

int dieHolding(const std::string& category) {
  CCategorySeqNo store;
  CCategorySeqNo::CSeqNoInfo* record = nullptr;
  store.acquireSeqNoInfo(category, &record);
  kill(getpid(), SIGKILL);
  return 6;
}

int dieInitialising(const std::string& category) {
  CPMutex mutex(1, 0, "Mutex-SeqNoInfo-" + category, 1, 1);
  mutex.wait(CPEvent::kInfinite, nullptr);
  CPSharedMemory block("Share-SeqNoInfo-" + category, sizeof(uint64_t));
  kill(getpid(), SIGKILL);
  return 6;
}

using Clock = std::chrono::steady_clock;
constexpr unsigned long kThisServer = 0xFFFFFFFFul;

class Completions : public CCompletionHandler {
 public:
  long onCompleted(long first, long) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_last = first;
    m_changed.notify_all();
    return 0;
  }
  bool waitFor(long id, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_last == id; });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  long m_last = 0;
};

// Waits until the client is registered, then for the completion of its queue.
bool registerAndFlush(CEventLib& lib, Completions& completions, long id) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (lib.execute(static_cast<unsigned long>(id)) < 0) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return completions.waitFor(id, std::chrono::seconds(60));
}

// Calls `request` until it is accepted: at once, or every millisecond while `retry`; false when refused.
template <typename Request>
bool accepted(Request request, bool retry) {
  while (request() < 0) {
    if (!retry) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

int publish(const std::string& category, const std::string& name, long count, double rate, std::size_t size,
            bool end, bool retry) {
  Completions completions;
  CEventLib lib("host-pub-" + name, nullptr, nullptr, &completions);
  lib.initialize();
  lib.publish(category);
  if (!registerAndFlush(lib, completions, 1)) return 3;
  const auto start = Clock::now();
  std::string data;
  for (long i = 0; i < count; ++i) {
    if (rate > 0) std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<long long>(i * 1e6 / rate)));
    data = name + ":" + std::to_string(i) + ":";
    if (data.size() < size) data.append(size - data.size(), 'x');
    if (!accepted([&] { return lib.deliverEvent(category, "", data); }, retry)) return 4;
    lib.execute(0);
  }
  if (end && !accepted([&] { return lib.deliverEvent(category, "", "end"); }, retry)) return 4;
  if (!accepted([&] { return lib.execute(2); }, retry) || !completions.waitFor(2, std::chrono::seconds(60))) return 5;
  std::printf("published %ld\n", count);
  lib.finalize();
  return 0;
}

class Subscriber : public CEventHandler, public CPublishHandler {
 public:
  explicit Subscriber(long ends) : m_ends(ends) {}

  long onDeliverEvent(const std::string& category, const std::string&, const std::string& data,
                      unsigned long long seqNo, unsigned long server) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool connection = category == "eventsystem" && data != "missed-event";
    if (!connection && m_away.count(server) != 0) ++m_eventsWhileAway;
    if (category == "eventsystem") {
      if (data == "missed-event") {
        ++m_missed;
        m_lastSeqNo = seqNo;
        std::printf("missed %llu\n", seqNo);
      } else {
        std::printf("eventsystem %s %lu\n", data.c_str(), server);
        if (data == "disconnected") m_away.insert(server);
        if (data == "connected") m_away.erase(server);
      }
      return 0;
    }
    if (m_lastSeqNo != 0 && seqNo > m_lastSeqNo + 1) ++m_unreported;
    if (m_firstSeqNo == 0) m_firstSeqNo = seqNo;
    m_lastEventSeqNo = seqNo;
    if (data == "end") {
      if (++m_endsSeen == m_ends) m_done.notify_all();
    } else if (m_endsSeen < m_ends) {
      if (m_lastSeqNo != 0 && seqNo <= m_lastSeqNo) ++m_disorder;
      const std::size_t colon = data.find(':');
      long& last = m_lastIndex.emplace(data.substr(0, colon), -1).first->second;
      const long index = std::atol(data.c_str() + colon + 1);
      if (index <= last) ++m_disorder;
      last = index;
      ++m_received;
    }
    m_lastSeqNo = seqNo;
    return 0;
  }

  long onPublish(const std::string&, long server, int published) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::printf("notice %s %ld\n", published != 0 ? "publish" : "retract", server);
    return 0;
  }

  // Waits for the end markers or the deadline, then prints the closing line.
  void finish(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_done.wait_until(lock, deadline, [&] { return m_endsSeen >= m_ends; });
    const unsigned long long span = m_firstSeqNo == 0 ? 0 : m_lastEventSeqNo - m_firstSeqNo + 1;
    std::printf("received %ld missed %ld disorder %ld unreported %ld span %llu away %ld\n", m_received, m_missed,
                m_disorder, m_unreported, span, m_eventsWhileAway);
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_done;
  std::map<std::string, long> m_lastIndex;
  unsigned long long m_lastSeqNo = 0;
  unsigned long long m_firstSeqNo = 0, m_lastEventSeqNo = 0;  // of the events received, "end" included
  long m_ends, m_endsSeen = 0, m_received = 0, m_missed = 0, m_disorder = 0, m_unreported = 0;
  std::set<unsigned long> m_away;  // servers said disconnected and not connected since
  long m_eventsWhileAway = 0;
};

int subscribe(const std::string& category, long ends, long timeoutMs, unsigned long server) {
  Subscriber subscriber(ends);
  Completions completions;
  CEventLib lib("host-sub", &subscriber, &subscriber, &completions);
  lib.initialize();
  lib.subscribe(category, "", server, nullptr);
  if (!registerAndFlush(lib, completions, 1)) return 3;
  std::printf("ready\n");
  subscriber.finish(Clock::now() + std::chrono::milliseconds(timeoutMs));
  lib.finalize();
  return 0;
}

int quit(const std::string& category, long count) {
  Completions completions;
  CEventLib lib("host-quit", nullptr, nullptr, &completions);
  lib.initialize();
  if (!registerAndFlush(lib, completions, 1)) return 3;
  for (long i = 0; i < count; ++i)
    if (lib.deliverEvent(category, "", "quit:" + std::to_string(i) + ":") < 0) return 4;
  lib.finalize();
  std::printf("finalized\n");
  return 0;
}

int construct() {
  try {
    CEventLib lib("host-construct", nullptr, nullptr, nullptr);
    std::printf("constructed\n");
    return 0;
  } catch (const std::exception& e) {
    std::printf("refused: %s\n", e.what());
    return 1;
  }
}

int takeAndDie(const std::string& category) {
  Completions completions;
  CEventLib lib("host-take", nullptr, nullptr, &completions);
  lib.initialize();
  if (!registerAndFlush(lib, completions, 1)) return 3;
  lib.deliverEvent(category, "", "never sent");  // queued, never flushed
  kill(getpid(), SIGKILL);
  return 6;
}

int staticClient(const std::string& category) {
  static CEventLib lib("host-static", nullptr, nullptr, nullptr);
  lib.initialize();
  lib.deliverEvent(category, "", "at exit");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // the tests read the output while it runs
  const std::string mode = argc > 1 ? argv[1] : "";
  try {
    if (mode == "nextseq" && argc == 5) return nextSeq(argv[2], std::atol(argv[3]), argv[4]);
    if (mode == "diehold" && argc == 3) return dieHolding(argv[2]);
    if (mode == "dieinit" && argc == 3) return dieInitialising(argv[2]);
    if ((mode == "pub" || mode == "retry") && (argc == 7 || argc == 8)) {
      return publish(argv[2], argv[3], std::atol(argv[4]), std::atof(argv[5]),
                     static_cast<std::size_t>(std::atol(argv[6])), argc == 8, mode == "retry");
    }
    if (mode == "quit" && argc == 4) return quit(argv[2], std::atol(argv[3]));
    if (mode == "sub" && (argc == 5 || argc == 6)) {
      return subscribe(argv[2], std::atol(argv[3]), std::atol(argv[4]),
                       argc == 6 ? std::strtoul(argv[5], nullptr, 10) : kThisServer);
    }
    if (mode == "construct" && argc == 2) return construct();
    if (mode == "take" && argc == 3) return takeAndDie(argv[2]);
    if (mode == "static" && argc == 3) return staticClient(argv[2]);
  } catch (const KelException& e) {
    std::fprintf(stderr, "test helper: failure 0x%08X at %s\n", static_cast<unsigned>(e.code()), e.location());
    return 3;
  }
  std::fprintf(stderr, "test helper: unknown mode or arguments (see its source)\n");
  return 2;
}
