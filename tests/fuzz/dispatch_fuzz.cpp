// Texts a service might send, handed to the engine's dispatch as the request thread would: whatever they hold,
// the engine neither crashes nor calls a handler with something it did not receive.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Library/CEventLibImpl.h"
#include "tests/support/EngineProbe.h"
#include "Utilities/CParamsX.h"

namespace {

class QuietHandlers : public CEventHandler, public CPublishHandler, public CCompletionHandler {
 public:
  long onDeliverEvent(const std::string& category, const std::string&, const std::string& data, unsigned long long,
                      unsigned long) override {
    // A missed-event report is the engine's own; anything else came in.
    if (category != "eventsystem" && data.size() > m_received) std::abort();
    return 0;
  }
  long onPublish(const std::string&, long, int) override { return 0; }
  long onCompleted(long, long) override { return 0; }
  std::size_t m_received = 0;
};

CEventLibImpl& engine(QuietHandlers& handlers) {
  static CEventLibImpl* instance = [&handlers] {
    auto* created = new CEventLibImpl("fuzz", &handlers, &handlers, &handlers);
    // Subscriptions the events can match, under servers the texts can name.
    created->subscribe("cat1", "", 12, nullptr);
    created->subscribe("cat1", "2;k1", 0xFFFFFFFFul, nullptr);
    created->subscribe("c", "1;*", 1, nullptr);
    return created;
  }();
  return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static QuietHandlers handlers;
  const char* chars = reinterpret_cast<const char*>(data);
  const std::string text(chars, strnlen(chars, size));
  handlers.m_received = text.size();
  EngineProbe::dispatchText(engine(handlers), text);
  return 0;
}
