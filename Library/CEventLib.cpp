#include "Library/CEventLib.h"

#include <new>

#include "Library/CEResultCodes.h"
#include "Library/CEventLibImpl.h"
#include "Service/CategorySeqNo.h"
#include "trace/KelException.h"

namespace {

// Values travel as texts without NUL: one would cut the whole batch it
// travels in. The store's base record is not a category anyone may number.
bool hasNul(const std::string& text) { return text.find('\0') != std::string::npos; }
bool isReserved(const std::string& category) { return category == CCategorySeqNo::kSeqNoBaseCategory; }

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

long CEventLib::finalize() {
  m_pImpl->finalize();
  return 0;
}

long CEventLib::publish(const std::string& category) {
  if (m_pImpl->isStopping()) return CE_E_STOPPING;
  if (hasNul(category) || isReserved(category)) return CE_E_INVALID_TEXT;
  return m_pImpl->publish(category);
}

long CEventLib::retract(const std::string& category) {
  if (m_pImpl->isStopping()) return CE_E_STOPPING;
  if (hasNul(category)) return CE_E_INVALID_TEXT;
  return m_pImpl->retract(category);
}

long CEventLib::subscribe(const std::string& category, const std::string& keys, unsigned long serverId,
                          std::string* pSubscription) {
  if (m_pImpl->isStopping()) return CE_E_STOPPING;
  if (hasNul(category) || hasNul(keys)) return CE_E_INVALID_TEXT;
  return m_pImpl->subscribe(category, keys, serverId, pSubscription);
}

long CEventLib::unsubscribe(const std::string& subscription) {
  if (m_pImpl->isStopping()) return CE_E_STOPPING;
  if (hasNul(subscription)) return CE_E_INVALID_TEXT;
  return m_pImpl->unsubscribe(subscription);
}

long CEventLib::deliverEvent(const std::string& category, const std::string& keys, const std::string& data) {
  if (m_pImpl->isStopping()) return CE_E_STOPPING;
  if (hasNul(category) || hasNul(keys) || hasNul(data) || isReserved(category)) return CE_E_INVALID_TEXT;
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
