#include "Library/CEventLib.h"

#include <new>

#include "Library/CEResultCodes.h"
#include "Library/CEventLibImpl.h"
#include "Service/CategorySeqNo.h"
#include "Utilities/ParamsView.h"
#include "protocol/Protocol.h"
#include "trace/KelException.h"
#include "trace/_Trace.h"

namespace {

using KelLogLib::LOGLIB_PRIORITY_ERROR;

// Values travel as texts without NUL: one would cut the whole batch it
// travels in.
bool hasNul(const std::string& text) { return text.find('\0') != std::string::npos; }

// Why a category cannot be published or numbered, or null when it can. The
// store's base record is not a category anyone may number, "eventsystem" is
// the service's own (it refuses such events), and an empty name names
// nothing the service can route.
const char* unpublishable(const std::string& category) {
  if (category.empty()) return "the category is empty";
  if (hasNul(category)) return "the category holds a NUL";
  if (category == CCategorySeqNo::kSeqNoBaseCategory) return "the category is the store's reserved one";
  if (category == evt::protocol::kEventSystemCategory) return "the category \"eventsystem\" is the service's own";
  return nullptr;
}

// Why keys or key patterns cannot travel, or null. A text that is not a
// list would be read as no keys: patterns that match every event, an event
// that arrives without its keys.
const char* unusableKeys(const std::string& keys) {
  if (hasNul(keys)) return "the keys hold a NUL";
  if (!params::isPlainList(keys)) return "the keys are not a parameter list (build them with CEventLib::CGenList)";
  return nullptr;
}

// Logs why `operation` refused its arguments and returns CE_E_INVALID_TEXT.
long refused(const char* operation, const char* reason, const std::string& category) {
  constexpr std::size_t kShownBytes = 64;  // a line per refusal, of bounded length
  const std::string shown = category.substr(0, category.find('\0')).substr(0, kShownBytes);
  evtLog(LOGLIB_PRIORITY_ERROR, "(Error) CEventLib::%s refused: %s (category \"%s\"%s) - 0x%08X", operation, reason,
         shown.c_str(), category.size() > shown.size() ? "..." : "", ce::wordFromResult(CE_E_INVALID_TEXT));
  return CE_E_INVALID_TEXT;
}

}  // namespace

CEventLib::CEventLib(const std::string& name, CEventHandler* pEventHandler, CPublishHandler* pPublishHandler,
                     CCompletionHandler* pCompletionHandler)
    : m_pImpl(nullptr) {
  void* memory = ::operator new(sizeof(CEventLibImpl), std::nothrow);
  if (memory == nullptr) KEL_THROW(CE_E_CREATE);
  try {
    m_pImpl = new (memory) CEventLibImpl(name, pEventHandler, pPublishHandler, pCompletionHandler);
  } catch (...) {
    ::operator delete(memory);
    throw;
  }
}

CEventLib::~CEventLib() { delete m_pImpl; }

long CEventLib::initialize() { return m_pImpl->initialize(); }

long CEventLib::finalize() { return m_pImpl->finalize(); }

bool CEventLib::isConnected() const { return !m_pImpl->isStopping() && m_pImpl->isConnected(); }

unsigned long CEventLib::thisServerId() const { return m_pImpl->thisServerId(); }

long CEventLib::publish(const std::string& category) {
  if (m_pImpl->isStopping()) return CE_E_STOPPING;
  if (const char* reason = unpublishable(category)) return refused("publish", reason, category);
  return m_pImpl->publish(category);
}

long CEventLib::retract(const std::string& category) {
  if (m_pImpl->isStopping()) return CE_E_STOPPING;
  if (hasNul(category)) return refused("retract", "the category holds a NUL", category);
  return m_pImpl->retract(category);
}

long CEventLib::subscribe(const std::string& category, const std::string& keys, unsigned long serverId,
                          std::string* pSubscription) {
  if (m_pImpl->isStopping()) return CE_E_STOPPING;
  if (category.empty()) return refused("subscribe", "the category is empty", category);
  if (hasNul(category)) return refused("subscribe", "the category holds a NUL", category);
  if (const char* reason = unusableKeys(keys)) return refused("subscribe", reason, category);
  return m_pImpl->subscribe(category, keys, serverId, pSubscription);
}

long CEventLib::unsubscribe(const std::string& subscription) {
  if (m_pImpl->isStopping()) return CE_E_STOPPING;
  if (hasNul(subscription)) return refused("unsubscribe", "the subscription holds a NUL", subscription);
  return m_pImpl->unsubscribe(subscription);
}

long CEventLib::deliverEvent(const std::string& category, const std::string& keys, const std::string& data) {
  if (m_pImpl->isStopping()) return CE_E_STOPPING;
  if (const char* reason = unpublishable(category)) return refused("deliverEvent", reason, category);
  if (const char* reason = unusableKeys(keys)) return refused("deliverEvent", reason, category);
  if (hasNul(data)) return refused("deliverEvent", "the data holds a NUL", category);
  return m_pImpl->deliverEvent(category, keys, data);
}

long CEventLib::reportConnectivity(unsigned long value) {
  if (m_pImpl->isStopping()) return CE_E_STOPPING;
  return m_pImpl->reportConnectivity(value);
}

void CEventLib::dump() {
  if (!m_pImpl->isStopping()) m_pImpl->dump();
}

long CEventLib::execute(unsigned long completionId) {
  if (m_pImpl->isStopping()) return CE_E_STOPPING;
  if (!m_pImpl->isConnected()) return CE_E_NOT_CONNECTED;
  m_pImpl->execute(completionId);
  return 0;
}
