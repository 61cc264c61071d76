// evt: the command-line tool of the event system: publish and watch events,
// ask the service for its state, and read or write parameter-list texts.
#include <CLI/CLI.hpp>

#include "common/CommandLine.h"
#include "protocol/Protocol.h"
#include "tools/evt/Commands.h"
#include "tools/evt/EvtClient.h"
#include "trace/KelException.h"

namespace {

// Counts the same in the 32-bit and the 64-bit build.
constexpr long kMostCount = 2147483647L;
constexpr double kMostWaitSeconds = 86400;

void addWatchOptions(CLI::App* command, evt::tool::WatchOptions* watch) {
  using evt::tool::atLeast;
  using evt::tool::between;
  command->add_option("--count", watch->count, "stop after this many events")->check(between(1L, kMostCount));
  command->add_option("--timeout", watch->timeoutSeconds, "stop after this many seconds")->check(atLeast(0.0));
  command->add_flag("--json", watch->output.json,
                    "one JSON object per line: kind, category, keys, data, seqno (a string), server");
  command->add_flag("--raw", watch->output.raw, "event data only, as it came (reports go to standard error)");
  command->add_option("--format", watch->output.format,
                      "a line per record from a template: {kind} {category} {keys} {data} {seqno} {server} "
                      "{from} {pid}");
  command->add_flag("-q,--quiet", watch->output.quiet, "no progress lines on standard error");
  command->add_option("--wait", watch->waitSeconds, "seconds to wait for the service (its socket may appear meanwhile)")
      ->check(between(0.0, kMostWaitSeconds))
      ->capture_default_str();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace evt::tool;
  CLI::App app{"evt: publish and watch events of the local event service, and ask it for its state.\n"
               "The service is reached at " + serviceEndpoint() + " ($EVT_RUNTIME_DIR selects the directory)."};
  app.require_subcommand(1);
  int status = 0;

  PublishOptions pub;
  CLI::App* pubCommand = app.add_subcommand("pub", "publish events: evt pub CATEGORY [KEYS] DATA; "
                                                   "DATA omitted or '-': one event per line of standard input");
  pubCommand->add_option("category", pub.category, "the events' category")->required();
  pubCommand->add_option("keys-and-data", pub.keysAndData, "[KEYS] DATA, KEYS comma-separated (k1,k2)");
  pubCommand->add_flag("--stdin", pub.fromStdin,
                       "one event per line of standard input (any byte but the newline; a CR before it is "
                       "dropped); the arguments after CATEGORY are KEYS");
  pubCommand->add_flag("-q,--quiet", pub.quiet, "no summary on standard error");
  pubCommand->add_option("--count", pub.count, "publish each DATA this many times")->check(between(1L, kMostCount));
  pubCommand->add_option("--rate", pub.rate, "events per second (default: as fast as possible)")->check(atLeast(0.0));
  pubCommand->add_option("--wait", pub.waitSeconds, "seconds to wait for the service")
      ->check(between(0.0, kMostWaitSeconds))
      ->capture_default_str();
  pubCommand->callback([&] { status = publishEvents(pub); });

  SubscribeOptions sub;
  CLI::App* subCommand = app.add_subcommand("sub", "print the events of a category (or --all) as they come, "
                                                   "missed events included");
  subCommand->add_option("category", sub.category, "the category to watch");
  subCommand->add_option("keys", sub.keys, "comma-separated key patterns ('*' matches any one key; last: the rest)");
  subCommand->add_flag("--all", sub.all,
                      "every category of this machine; one that appears later is added once noticed "
                      "(within 20 ms), its earlier events unseen");
  subCommand->add_option("--server", sub.serverId, "server id of the publishers (default: this machine)")
      ->check(between(1LL, 0xFFFFFFFFLL));
  addWatchOptions(subCommand, &sub.watch);
  subCommand->callback([&] { status = subscribeEvents(sub); });

  MonitorOptions monitor;
  CLI::App* monitorCommand = app.add_subcommand(
      "monitor", "print every event the service accepts from any client, with its sender, as it arrives");
  monitorCommand->add_option("pattern", monitor.pattern, "categories to show, a shell pattern")->capture_default_str();
  monitorCommand->add_flag("--notices", monitor.notices,
                           "also show subscribe, unsubscribe, publish, retract and completion-id requests");
  addWatchOptions(monitorCommand, &monitor.watch);
  monitorCommand->callback([&] { status = monitorService(monitor); });

  QueryOptions statusQuery{evt::protocol::kCommandStatus};
  CLI::App* statusCommand = app.add_subcommand("status", "print the service's counters");
  QueryOptions dumpQuery{evt::protocol::kCommandDump};
  CLI::App* dumpCommand =
      app.add_subcommand("dump", "print the service's clients, subscriptions and publications (the text is also logged)");
  for (auto [command, query] : {std::pair{statusCommand, &statusQuery}, std::pair{dumpCommand, &dumpQuery}}) {
    command->add_flag("--json", query->json, "as one JSON object");
    command->add_option("--wait", query->waitSeconds, "seconds to wait for the service")
        ->check(between(0.0, kMostWaitSeconds))
        ->capture_default_str();
    command->callback([&status, query = query] { status = queryService(*query); });
  }

  double completeWait = 3;
  long completeCount = 1;
  double completeInterval = 1;
  CLI::App* completeCommand = app.add_subcommand(
      "complete", "send completion ids and print how long the service took to confirm each (with --count, also "
                  "min, avg, p50, p99 and max)");
  completeCommand->add_option("--wait", completeWait, "seconds to wait for the service")
      ->check(between(0.0, kMostWaitSeconds))
      ->capture_default_str();
  completeCommand->add_option("-c,--count", completeCount, "round trips")
      ->check(between(1L, kMostCount))
      ->capture_default_str();
  completeCommand->add_option("-i,--interval", completeInterval, "seconds between round trips")
      ->check(atLeast(0.0))
      ->capture_default_str();
  completeCommand->callback([&] { status = completeRoundTrips(completeWait, completeCount, completeInterval); });

  TopOptions top;
  CLI::App* topCommand = app.add_subcommand(
      "top", "a live view of the service: traffic, categories and clients with their rates, redrawn each interval "
             "(keys: q quits, s changes the order); not on a terminal, one plain snapshot per interval");
  topCommand->add_option("--interval", top.intervalSeconds, "seconds between refreshes")
      ->check(between(0.1, kMostWaitSeconds))
      ->capture_default_str();
  topCommand->add_option("--count", top.count, "exit after this many refreshes")->check(between(1L, kMostCount));
  topCommand->add_option("--sort", top.sort, "order of the rows: rate, name or pending")
      ->check(CLI::IsMember({"rate", "name", "pending"}))
      ->capture_default_str();
  topCommand->add_option("-n,--rows", top.rows, "rows of each table at most (default: as many as fit)")
      ->check(between(1L, kMostCount));
  topCommand->callback([&] { status = showTop(top); });

  std::string header;
  std::vector<std::string> items;
  CLI::App* encodeCommand = app.add_subcommand("encode", "print the parameter-list text holding ITEMs");
  encodeCommand->add_option("--header", header, "a header before the items");
  encodeCommand->add_option("items", items, "the items")->expected(0, -1);
  encodeCommand->callback([&] { status = encodeList(header, items); });

  std::string text;
  CLI::App* decodeCommand = app.add_subcommand("decode", "print the header and items of a parameter-list TEXT");
  decodeCommand->add_option("text", text, "the text")->required();
  decodeCommand->callback([&] { status = decodeList(text); });

  std::string mutexName;
  CLI::App* lockCommand = app.add_subcommand("lock", "take and release the machine-wide mutex NAME");
  lockCommand->add_option("name", mutexName, "the mutex")->required();
  lockCommand->callback([&] { status = lockMutex(mutexName); });

  addVersionFlag(app);
  installInterruptHandlers();
  int exitCode = 0;
  try {
    // The commands run from the parser's callbacks.
    if (!parseCommandLine(app, argc, argv, &exitCode)) return exitCode;
  } catch (const KelException& e) {
    return storeFailure(e.code());
  }
  return status;
}
