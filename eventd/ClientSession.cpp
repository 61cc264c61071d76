#include "eventd/ClientSession.h"

#include <algorithm>
#include <utility>

#include "Utilities/ParamsView.h"

namespace evt::service {
namespace {

constexpr std::size_t kKeptQueueBytes = 16u * 1024u * 1024u;

}  // namespace

ClientSession::~ClientSession() { charge(0, m_pendingBytes + m_accountedInput); }

void ClientSession::charge(std::size_t add, std::size_t remove) {
  if (m_budget == nullptr) return;
  m_budget->used = m_budget->used + add - remove;
  *m_userUsed = *m_userUsed + add - remove;
}

bool ClientSession::accountInput() {
  if (m_budget == nullptr) return false;
  charge(input.buffered(), m_accountedInput);
  m_accountedInput = input.buffered();
  return m_budget->used > m_budget->limit;
}

bool ClientSession::enqueue(std::string_view request, bool droppable, const QueueLimits& limits,
                            Clock::time_point arrived) {
  const std::size_t factor = droppable ? 1 : 2;
  if (m_pendingSizes.size() >= limits.requests * factor || m_pendingBytes + request.size() > limits.bytes * factor) {
    ++counters.dropped;
    return false;
  }
  // An event beyond the common budget, the client's share or its user's is
  // refused (and reported to the client as missed).
  if (droppable && m_budget != nullptr &&
      (m_budget->used + request.size() > m_budget->limit ||
       heldBytes() + request.size() > m_budget->clientShare() ||
       *m_userUsed + request.size() > m_budget->userShare())) {
    ++m_budget->refused;
    ++counters.dropped;
    return false;
  }
  charge(request.size(), 0);
  if (m_pendingSizes.empty()) {
    // Its capacity is kept for the next burst (memory grown afresh for every
    // burst costs a page fault per page), unless a rare burst grew it well
    // beyond what a busy client holds: the high-water mark, an exchange of
    // each of several publishers arriving before they are held back, the
    // batch being sent and the room the text doubles into.
    if (m_pendingText.capacity() > std::max(limits.highWaterBytes * 4, kKeptQueueBytes)) {
      std::string().swap(m_pendingText);
    } else {
      m_pendingText.clear();
    }
    m_pendingStart = 0;
  }
  // What batches took goes before the text grows: with a subscriber that
  // lags, growing would double the storage each time rather than reuse it.
  const std::size_t itemBound = request.size() + 24;  // ';', the length and its ':'
  if (m_pendingStart > 0 && m_pendingStart >= m_pendingText.size() / 4 &&
      m_pendingText.size() + itemBound > m_pendingText.capacity()) {
    m_pendingText.erase(0, m_pendingStart);
    m_pendingStart = 0;
  }
  const std::size_t before = m_pendingText.size();
  params::appendItem(&m_pendingText, request);
  m_pendingSizes.push_back(
      Queued{static_cast<uint32_t>(m_pendingText.size() - before), static_cast<uint32_t>(request.size()), droppable,
             arrived});
  m_pendingBytes += request.size();
  return true;
}

bool ClientSession::answered(uint32_t requestId) {
  if (m_awaitedAnswers.empty() || m_awaitedAnswers.front() != requestId) return false;
  m_awaitedAnswers.pop_front();
  return true;
}

void ClientSession::holdAnswer(channel::Frame answer, Clock::time_point now) {
  if (m_heldAnswers.empty()) m_heldSince = now;
  m_heldAnswers.push_back(std::move(answer));
}

std::vector<channel::Frame> ClientSession::takeHeldAnswers() {
  std::vector<channel::Frame> answers;
  answers.swap(m_heldAnswers);
  return answers;
}

void ClientSession::updateCongestion(Clock::time_point now, const QueueLimits& limits) {
  // The mark stays below half the queue's bounds, so that a client is
  // congested well before anything for it is dropped.
  const std::size_t highRequests = std::min(limits.highWaterRequests, limits.requests / 2);
  const std::size_t highBytes = std::min(limits.highWaterBytes, limits.bytes / 2);
  if (m_pendingSizes.size() > highRequests || m_pendingBytes > highBytes) {
    if (!m_congested) m_congestedSince = now;
    m_congested = true;
  } else if (!m_shed && m_pendingSizes.size() <= highRequests / 2 && m_pendingBytes <= highBytes / 2) {
    m_congested = false;
  }
}

std::size_t ClientSession::shedEvents() {
  std::string kept;
  std::deque<Queued> keptSizes;
  std::size_t keptBytes = 0;
  std::size_t shed = 0;
  std::size_t at = m_pendingStart;
  for (const Queued& item : m_pendingSizes) {
    // An item is its ';' joiner (if any), the request's length and ';', then the request.
    const std::string_view request(m_pendingText.data() + at + item.itemSize - item.requestSize, item.requestSize);
    at += item.itemSize;
    if (item.droppable) {
      ++shed;
      continue;
    }
    const std::size_t before = kept.size();
    params::appendItem(&kept, request);
    keptSizes.push_back(Queued{static_cast<uint32_t>(kept.size() - before), item.requestSize, false, {}});
    keptBytes += item.requestSize;
  }
  if (shed == 0) return 0;
  charge(0, m_pendingBytes - keptBytes);
  m_pendingText.swap(kept);  // the old storage goes with `kept`
  m_pendingStart = 0;
  m_pendingSizes.swap(keptSizes);
  m_pendingBytes = keptBytes;
  counters.dropped += shed;
  m_shed = true;
  return shed;
}

std::string_view ClientSession::takeBatch(std::size_t maxRequests, std::size_t maxBytes,
                                         LatencyHistogram* residence) {
  // What earlier batches took is released here rather than when taken, so
  // that the view handed out then stayed valid; at most half is moved.
  if (m_pendingStart > 0 && 2 * m_pendingStart >= m_pendingText.size()) {
    m_pendingText.erase(0, m_pendingStart);
    m_pendingStart = 0;
  }
  m_shed = false;  // it reads again
  std::size_t taken = 0;
  std::size_t bytes = 0;
  std::size_t end = m_pendingStart;
  const Clock::time_point now = residence != nullptr ? Clock::now() : Clock::time_point();
  while (!m_pendingSizes.empty() && taken < maxRequests &&
         (taken == 0 || bytes + m_pendingSizes.front().requestSize <= maxBytes)) {
    const Queued& item = m_pendingSizes.front();
    bytes += item.requestSize;
    end += item.itemSize;
    if (residence != nullptr && item.droppable && item.arrived != Clock::time_point()) {
      residence->observe(now - item.arrived);
    }
    m_pendingSizes.pop_front();
    ++taken;
  }
  // The ';' that joins an item to the one before it is not part of the batch
  // (an item itself begins with a digit).
  std::size_t begin = m_pendingStart;
  if (taken > 0 && m_pendingText[begin] == ';') ++begin;
  const std::string_view batch(m_pendingText.data() + begin, end - begin);
  m_pendingStart = end;
  m_pendingBytes -= bytes;
  charge(0, bytes);
  counters.requestsOut += taken;
  ++counters.textsOut;
  return batch;
}

}  // namespace evt::service
