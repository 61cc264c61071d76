#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <set>
#include <thread>

#include "Library/CELibrary.h"
#include "Service/CategorySeqNo.h"
#include "tools/evt/Commands.h"
#include "tools/evt/EvtClient.h"

namespace evt::tool {
namespace {

constexpr const char* kReservedCategory = "$this$seqnobase$";

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::vector<std::string> itemsOf(const std::string& list) {
  CEventLib::CParseList parsed(list);
  std::vector<std::string> items;
  for (unsigned long i = 0; i < parsed.count(); ++i) items.push_back(parsed.getItem(i));
  return items;
}

// `text` with control characters, the backslash and `also` written as \xNN.
std::string escaped(const std::string& text, char also = '\\') {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '\\' || c == also) {
      out += "\\x";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xF]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// Prints events as they come, one line each; counts the real ones.
class EventPrinter {
 public:
  explicit EventPrinter(bool json) : m_json(json) {}

  void print(const std::string& category, const std::string& keys, const std::string& data, unsigned long long seqNo,
             unsigned long serverId) {
    std::string line;
    const bool missed = category == "eventsystem" && data == "missed-event";
    const std::vector<std::string> keyItems = itemsOf(keys);
    const std::string shownCategory = missed ? (keyItems.empty() ? std::string() : keyItems[0]) : category;
    if (m_json) {
      // One shape for events and reports; numbers as strings, as JSON
      // readers keep only 53 bits of a number.
      line = std::string("{\"kind\":") + (missed ? "\"missed\"" : "\"event\"") +
             ",\"category\":" + jsonString(shownCategory) + ",\"keys\":[";
      for (std::size_t i = 0; !missed && i < keyItems.size(); ++i) line += (i ? "," : "") + jsonString(keyItems[i]);
      line += "]";
      line += ",\"data\":" + jsonString(missed ? std::string() : data);
      line += ",\"seqno\":\"" + std::to_string(seqNo) + "\",\"server\":" + std::to_string(serverId) + "}";
    } else if (missed) {
      line = "missed-event category=" + escaped(shownCategory) + " seqno=" + std::to_string(seqNo) +
             " server=" + std::to_string(serverId);
    } else {
      // Escaped, so that every event is one line and a comma inside a key
      // cannot pass for a separator.
      std::string joined;
      for (std::size_t i = 0; i < keyItems.size(); ++i) joined += (i ? "," : "") + escaped(keyItems[i], ',');
      line = "event category=" + escaped(category) + " seqno=" + std::to_string(seqNo) + " server=" +
             std::to_string(serverId) + " keys=" + joined + " data=" + escaped(data);
    }
    std::lock_guard<std::mutex> hold(m_mutex);
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
    if (!missed && category != "eventsystem") ++m_events;
  }

  long events() {
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_events;
  }

 private:
  const bool m_json;
  std::mutex m_mutex;
  long m_events = 0;
};

// Subscribes to every category of the shared list not yet subscribed to.
void subscribeNewCategories(EvtClient& client, CCategorySeqNo& store, const std::string& keys, unsigned long serverId,
                            std::set<std::string>* subscribed) {
  std::string categories;
  if (store.getAllCategories(&categories) < 0) return;
  for (const std::string& category : itemsOf(categories)) {
    if (category == kReservedCategory || !subscribed->insert(category).second) continue;
    client.lib().subscribe(category, keys, serverId, nullptr);
  }
}

}  // namespace

int subscribeEvents(const SubscribeOptions& options) {
  if (options.all == !options.category.empty()) {
    std::fprintf(stderr, "evt sub: give a CATEGORY or --all\n");
    return 2;
  }
  EventPrinter printer(options.json);
  EvtClient client("evt-sub", [&printer](const std::string& c, const std::string& k, const std::string& d,
                                         unsigned long long s, unsigned long id) { printer.print(c, k, d, s, id); });
  const auto wait = std::chrono::milliseconds(static_cast<long>(options.waitSeconds * 1000));
  if (!client.waitRegistered(wait)) return noService();

  const std::string keys = keysList(options.keys);
  const unsigned long serverId = static_cast<unsigned long>(static_cast<uint32_t>(options.serverId));
  std::unique_ptr<CCategorySeqNo> store;
  std::set<std::string> subscribed;
  if (options.all) {
    store = std::make_unique<CCategorySeqNo>();
    subscribeNewCategories(client, *store, keys, serverId, &subscribed);
  } else {
    client.lib().subscribe(options.category, keys, serverId, nullptr);
  }
  if (!client.flush(std::chrono::milliseconds(10000))) {
    std::fprintf(stderr, "evt: the service did not confirm the subscription\n");
    return 1;
  }
  std::fprintf(stderr, "evt: subscribed to %s\n", options.all ? "all categories" : options.category.c_str());

  const auto start = std::chrono::steady_clock::now();
  const auto limit = std::chrono::milliseconds(static_cast<long long>(options.timeoutSeconds * 1000));
  while (!g_interrupted) {
    if (options.count > 0 && printer.events() >= options.count) return 0;
    if (options.timeoutSeconds > 0 && std::chrono::steady_clock::now() - start >= limit) {
      if (options.count == 0) return 0;
      std::fprintf(stderr, "evt: timed out with %ld of %ld events\n", printer.events(), options.count);
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
