#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <set>
#include <thread>

#include "Library/CELibrary.h"
#include "Service/CategorySeqNo.h"
#include "protocol/Protocol.h"
#include "tools/evt/Commands.h"
#include "tools/evt/EvtClient.h"

namespace evt::tool {
namespace {

// An event or the library's missed-event report as a record.
Record recordOf(const std::string& category, const std::string& keys, const std::string& data,
                unsigned long long seqNo, unsigned long serverId) {
  Record record;
  record.seqNo = seqNo;
  record.server = static_cast<uint32_t>(serverId);
  std::vector<std::string> keyItems = itemsOf(keys);
  if (category == evt::protocol::kEventSystemCategory && data == evt::protocol::kMissedEventData) {
    record.kind = "missed";
    record.category = keyItems.empty() ? std::string() : keyItems[0];
  } else {
    record.kind = "event";
    record.category = category;
    record.keys = std::move(keyItems);
    record.data = data;
  }
  return record;
}

// Subscribes to every category of the shared list not yet subscribed to.
void subscribeNewCategories(EvtClient& client, CCategorySeqNo& store, const std::string& keys, unsigned long serverId,
                            std::set<std::string>* subscribed) {
  std::string categories;
  if (store.getAllCategories(&categories) < 0) return;
  for (const std::string& category : itemsOf(categories)) {
    if (category == CCategorySeqNo::kSeqNoBaseCategory || !subscribed->insert(category).second) continue;
    client.lib().subscribe(category, keys, serverId, nullptr);
  }
}

}  // namespace

int subscribeEvents(const SubscribeOptions& options) {
  if (options.all == !options.category.empty()) {
    std::fprintf(stderr, "evt sub: give a CATEGORY or --all\n");
    return 2;
  }
  RecordPrinter::Shape shape;
  if (!makeShape(options.watch.output, &shape)) return 2;
  RecordPrinter printer(shape, options.watch.output.format, options.watch.count);
  const auto wait = std::chrono::milliseconds(static_cast<long>(options.watch.waitSeconds * 1000));
  if (!serviceAppears(wait)) return noService();
  EvtClient client("evt-sub", [&printer](const std::string& c, const std::string& k, const std::string& d,
                                         unsigned long long s, unsigned long id) {
    printer.print(recordOf(c, k, d, s, id));
  });
  if (!client.waitRegistered(wait)) return noService();

  const std::string keys = keysList(options.keys);
  const unsigned long serverId = static_cast<unsigned long>(static_cast<uint32_t>(options.serverId));
  std::unique_ptr<CCategorySeqNo> store;
  std::set<std::string> subscribed;
  if (options.all) {
    store = std::make_unique<CCategorySeqNo>();
    subscribeNewCategories(client, *store, keys, serverId, &subscribed);
  } else if (const long result = client.lib().subscribe(options.category, keys, serverId, nullptr); result < 0) {
    return refused("subscribe to", options.category, result);
  }
  if (!client.flush(std::chrono::milliseconds(10000))) {
    std::fprintf(stderr, "evt: the service did not confirm the subscription\n");
    return 1;
  }
  if (!options.watch.output.quiet) {
    std::fprintf(stderr, "evt: subscribed to %s\n", options.all ? "all categories" : options.category.c_str());
  }

  const auto start = std::chrono::steady_clock::now();
  const auto limit = std::chrono::milliseconds(static_cast<long long>(options.watch.timeoutSeconds * 1000));
  bool connected = true;
  while (!g_interrupted) {
    // The library renews the subscription once the service is back; the
    // user hears of both changes in the output.
    if (client.registered() != connected) {
      connected = !connected;
      Record change;
      change.kind = connected ? "connected" : "disconnected";
      printer.print(change);
    }
    if (options.watch.count > 0 && printer.events() >= options.watch.count) return 0;
    if (options.watch.timeoutSeconds > 0 && std::chrono::steady_clock::now() - start >= limit) {
      if (options.watch.count == 0) return 0;
      std::fprintf(stderr, "evt: timed out with %ld of %ld events\n", printer.events(), options.watch.count);
      return 1;
    }
    if (store) {
      const std::size_t before = subscribed.size();
      subscribeNewCategories(client, *store, keys, serverId, &subscribed);
      if (subscribed.size() != before) client.lib().execute(0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return 0;
}

}  // namespace evt::tool
