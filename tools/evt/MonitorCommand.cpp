#include <fnmatch.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "Library/CEResultCodes.h"
#include "Utilities/ParamsView.h"
#include "protocol/Protocol.h"
#include "tools/evt/Commands.h"
#include "tools/evt/EvtClient.h"
#include "tools/evt/ServiceChannel.h"

namespace evt::tool {
namespace {

namespace protocol = evt::protocol;

// A monitored copy of a client's request as a record; false for requests a
// monitor does not show.
bool recordOf(const protocol::Monitored& monitored, Record* record) {
  const ParamsView request(monitored.request);
  const std::string_view name = protocol::nameOf(request);
  *record = Record();
  record->kind = std::string(name);
  record->hasSender = true;
  record->senderName = std::string(monitored.senderName);
  record->senderPid = monitored.senderPid;
  if (name == protocol::kEvent) {
    const protocol::Event event = protocol::readEvent(request);
    record->category = std::string(event.category);
    record->keys = itemsOf(event.keys);
    record->data = std::string(event.data);
    record->seqNo = event.seqNo;
    record->server = event.server;
  } else if (name == protocol::kSubscribe || name == protocol::kUnsubscribe) {
    const protocol::Subscription subscription = protocol::readSubscription(request);
    record->category = std::string(subscription.category);
    record->server = subscription.server;
  } else if (name == protocol::kPublish || name == protocol::kRetract) {
    const protocol::Publication publication = protocol::readPublication(request);
    record->category = std::string(publication.category);
    record->server = publication.server;
  } else if (name == protocol::kCompletionId) {
    record->data = std::to_string(protocol::readCompletion(request).first);
  } else {
    return false;
  }
  return true;
}

// Asks the service to send this connection a copy of what its clients send.
bool startMonitoring(ServiceChannel& service, const MonitorOptions& options, std::chrono::milliseconds wait) {
  std::string answer;
  if (!service.connect("evt-monitor", wait)) return false;
  const long result = service.command(protocol::kCommandMonitor, options.notices ? "notices" : "", &answer);
  if (result < 0) std::fprintf(stderr, "evt: the service refused to be monitored (0x%08X)\n", ce::wordFromResult(result));
  return result >= 0;
}

}  // namespace

int monitorService(const MonitorOptions& options) {
  RecordPrinter::Shape shape;
  if (!makeShape(options.watch.output, &shape)) return 2;
  RecordPrinter printer(shape, options.watch.output.format, options.watch.count);
  ServiceChannel service;
  const auto wait = std::chrono::milliseconds(static_cast<long>(options.watch.waitSeconds * 1000));
  if (!startMonitoring(service, options, wait)) return noService();
  if (!options.watch.output.quiet) std::fprintf(stderr, "evt: monitoring %s\n", options.pattern.c_str());

  // Waiting for the service's next request ends only when the channel
  // closes: a watcher closes it on an interrupt, the timeout or the count.
  std::atomic<bool> done{false};
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::milliseconds(static_cast<long long>(options.watch.timeoutSeconds * 1000));
  std::thread watcher([&] {
    while (!done && !g_interrupted && (options.watch.timeoutSeconds == 0 || std::chrono::steady_clock::now() < end)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    service.channel().finalize();
  });

  int connections = 0;
  unsigned long long dropped = 0;
  bool failed = false;
  while (!done) {
    unsigned long a = 0, b = 0;
    std::string text;
    int noResponse = 0;
    uint32_t header[4] = {};
    const long result = service.channel().receiveRequest(&a, &b, &text, &noResponse, reinterpret_cast<char*>(header));
    if (result == ZEBIPC_CLOSED) break;
    if (result == ZEBIPC_CONNECTED || result == ZEBIPC_DISCONNECTED) {
      // The first connection is the one monitoring started on; after a
      // loss, monitoring starts again on the next.
      if (result == ZEBIPC_CONNECTED && ++connections == 1) continue;
      Record change;
      change.kind = result == ZEBIPC_CONNECTED ? "connected" : "disconnected";
      printer.print(change);
      if (result == ZEBIPC_CONNECTED && !startMonitoring(service, options, wait)) {
        failed = !g_interrupted && !done;
        break;
      }
      dropped = 0;  // a new session counts afresh
      continue;
    }
    if (result < 0) continue;
    const ParamsView requests(text);
    for (std::size_t i = 0; i < requests.count() && !done; ++i) {
      const ParamsView request(requests.itemAt(i));
      if (protocol::nameOf(request) != protocol::kMonitored) continue;
      const protocol::Monitored monitored = protocol::readMonitored(request);
      if (monitored.dropped > dropped) {
        std::fprintf(stderr, "evt: the monitor fell behind: %llu copies not shown\n", monitored.dropped - dropped);
        dropped = monitored.dropped;
      }
      Record record;
      if (!recordOf(monitored, &record)) continue;
      if (!record.category.empty() && fnmatch(options.pattern.c_str(), record.category.c_str(), 0) != 0) continue;
      printer.print(record);
      if (options.watch.count > 0 && printer.events() >= options.watch.count) done = true;
    }
    if (noResponse == 0) {
      header[1] = kServiceAnswerMark;
      header[2] = 0;
      service.channel().sendResponse(a, b, "", 0, reinterpret_cast<const char*>(header));
    }
  }
  done = true;
  watcher.join();
  if (failed) return 1;
  if (options.watch.count > 0 && printer.events() < options.watch.count && !g_interrupted) {
    std::fprintf(stderr, "evt: timed out with %ld of %ld events\n", printer.events(), options.watch.count);
    return 1;
  }
  return 0;
}

}  // namespace evt::tool
