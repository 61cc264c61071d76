#include "eventd/ClientTable.h"

#include <utility>

namespace evt::service {

ClientSession& ClientTable::add(std::unique_ptr<ClientSession> client) {
  ClientSession& session = *client;
  if (session.fd() >= 0) m_byFd.emplace(session.fd(), &session);
  m_byNumber.emplace(session.number(), std::move(client));
  return session;
}

void ClientTable::remove(ClientSession& client) {
  auto fd = m_byFd.find(client.fd());
  if (fd != m_byFd.end() && fd->second == &client) m_byFd.erase(fd);
  m_byNumber.erase(client.number());  // destroys the session: `client` goes with it
}

ClientSession* ClientTable::byNumber(uint64_t number) const {
  auto it = m_byNumber.find(number);
  return it != m_byNumber.end() ? it->second.get() : nullptr;
}

ClientSession* ClientTable::byFd(int fd) const {
  auto it = m_byFd.find(fd);
  return it != m_byFd.end() ? it->second : nullptr;
}

}  // namespace evt::service
