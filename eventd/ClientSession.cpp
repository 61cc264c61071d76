#include "eventd/ClientSession.h"

#include "Utilities/CParamsX.h"

namespace evt::service {

bool ClientSession::enqueue(std::string request, bool droppable, const QueueLimits& limits) {
  const std::size_t factor = droppable ? 1 : 2;
  if (m_pending.size() >= limits.requests * factor || m_pendingBytes + request.size() > limits.bytes * factor) {
    ++counters.dropped;
    return false;
  }
  m_pendingBytes += request.size();
  m_pending.push_back(std::move(request));
  return true;
}

std::string ClientSession::takeBatch(std::size_t maxRequests, std::size_t maxBytes) {
  CParamsX batch;
  std::size_t taken = 0;
  std::size_t bytes = 0;
  while (!m_pending.empty() && taken < maxRequests && (taken == 0 || bytes + m_pending.front().size() <= maxBytes)) {
    bytes += m_pending.front().size();
    batch.addParam(m_pending.front());
    m_pendingBytes -= m_pending.front().size();
    m_pending.pop_front();
    ++taken;
  }
  counters.requestsOut += taken;
  ++counters.textsOut;
  return batch.takeParamList();
}

}  // namespace evt::service
