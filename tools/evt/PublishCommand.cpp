#include <cstdio>
#include <iostream>
#include <thread>

#include "Library/CEResultCodes.h"
#include "tools/evt/Commands.h"
#include "tools/evt/EvtClient.h"

namespace evt::tool {
namespace {

// Publishes one event, waiting out a service restart: an event refused
// while disconnected goes out again once the client is registered anew.
bool deliver(EvtClient& client, const PublishOptions& options, const std::string& keys, const std::string& data) {
  for (;;) {
    long result = client.lib().deliverEvent(options.category, keys, data);
    if (result >= 0) return true;
    if (result != CE_E_NOT_CONNECTED) {
      refused("publish to", options.category, result);
      return false;
    }
    if (!client.waitRegistered(std::chrono::milliseconds(static_cast<long>(options.waitSeconds * 1000)))) {
      std::fprintf(stderr, "evt: lost the event service\n");
      return false;
    }
  }
}

}  // namespace

int publishEvents(const PublishOptions& options) {
  // CATEGORY [KEYS] DATA, where DATA "-" or none reads standard input;
  // with --stdin, CATEGORY [KEYS].
  const std::vector<std::string>& args = options.keysAndData;
  const bool fromStdin = options.fromStdin || args.empty() || args.back() == "-";
  const std::size_t keyArgs = options.fromStdin ? args.size() : (args.size() == 2 ? 1 : 0);
  if (args.size() > 2 || (options.fromStdin && args.size() > 1)) {
    std::fprintf(stderr, "evt pub: expected CATEGORY [KEYS] DATA, or CATEGORY [KEYS] --stdin\n");
    return 2;
  }
  const std::string keys = keyArgs == 1 ? keysList(args[0]) : std::string();

  const auto wait = std::chrono::milliseconds(static_cast<long>(options.waitSeconds * 1000));
  if (!serviceAppears(wait)) return noService();
  EvtClient client("evt-pub", nullptr);
  if (!client.waitRegistered(wait)) return noService();
  if (const long result = client.lib().publish(options.category); result < 0) {
    return refused("publish to", options.category, result);
  }

  const auto start = std::chrono::steady_clock::now();
  long sent = 0;
  auto publishData = [&](const std::string& data) {
    for (long i = 0; i < options.count && !g_interrupted; ++i) {
      if (options.rate > 0) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<long long>(sent * 1e6 / options.rate)));
      }
      if (!deliver(client, options, keys, data)) return false;
      ++sent;
      if (sent % 256 == 0 || options.rate > 0 || fromStdin) client.lib().execute(0);
    }
    return true;
  };

  bool ok = true;
  if (fromStdin) {
    std::string line;
    // One event per line, every byte kept but the line's end (a CR
    // before it included).
    while (ok && !g_interrupted && std::getline(std::cin, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      ok = publishData(line);
    }
  } else {
    ok = publishData(args.back());
  }
  // The completion comes back once the service has routed every event.
  if (!client.flush(std::chrono::milliseconds(10000) + wait)) {
    std::fprintf(stderr, "evt: the service did not confirm the events\n");
    return 1;
  }
  if (!ok) {
    if (sent > 0) std::fprintf(stderr, "evt: %ld event%s published before that\n", sent, sent == 1 ? "" : "s");
    return 1;
  }
  if (!options.quiet) {
    std::fprintf(stderr, "evt: published %ld event%s of %s\n", sent, sent == 1 ? "" : "s", options.category.c_str());
  }
  return 0;
}

}  // namespace evt::tool
