#include "eventd/StreamOutbox.h"

#include <utility>

namespace evt::service {

bool StreamOutbox::add(const std::string& subject, std::string_view text) {
  if (m_bytes + text.size() > m_maxBytes) return false;
  Message message;
  message.id = m_nextId++;
  message.subject = subject;
  message.text = std::string(text);
  m_bytes += message.text.size();
  m_messages.push_back(std::move(message));
  return true;
}

void StreamOutbox::sendDue(Clock::time_point now, const Send& send) {
  for (; m_firstUnsent < m_messages.size(); ++m_firstUnsent) {
    Message& message = m_messages[m_firstUnsent];
    if (message.acked) continue;
    if (!send(message)) return;
    message.sentAt = now;
  }
}

void StreamOutbox::acknowledged(uint64_t id) {
  if (m_messages.empty() || id < m_messages.front().id) return;
  const uint64_t index = id - m_messages.front().id;  // ids are consecutive
  if (index >= m_messages.size()) return;
  m_messages[static_cast<std::size_t>(index)].acked = true;
  dropAckedFront();
}

void StreamOutbox::dropAckedFront() {
  while (!m_messages.empty() && m_messages.front().acked) {
    m_bytes -= m_messages.front().text.size();
    m_messages.pop_front();
    if (m_firstUnsent > 0) --m_firstUnsent;
  }
}

void StreamOutbox::rewind() { m_firstUnsent = 0; }

bool StreamOutbox::overdue(Clock::time_point now, Clock::duration after) const {
  // The front is never acknowledged, and messages go in order: when any
  // was sent, the front was, first.
  return m_firstUnsent > 0 && now - m_messages.front().sentAt > after;
}

}  // namespace evt::service
