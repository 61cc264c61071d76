#include "eventd/ClientTable.h"

#include <utility>

namespace evt::service {

ClientSession& ClientTable::add(std::unique_ptr<ClientSession> client) {
  ClientSession& session = *client;
  index(session, std::move(client));
  return session;
}

void ClientTable::attach(ClientSession& client) { index(client, nullptr); }

void ClientTable::index(ClientSession& client, std::unique_ptr<ClientSession> owned) {
  m_byNumber.emplace(client.number(), Entry{&client, std::move(owned)});
  if (client.fd() >= 0) m_byFd.emplace(client.fd(), &client);
}

void ClientTable::remove(ClientSession& client) {
  auto fd = m_byFd.find(client.fd());
  if (fd != m_byFd.end() && fd->second == &client) m_byFd.erase(fd);
  m_byNumber.erase(client.number());  // destroys an owned session: `client` goes with it
}

ClientSession* ClientTable::byNumber(uint64_t number) const {
  auto it = m_byNumber.find(number);
  return it != m_byNumber.end() ? it->second.session : nullptr;
}

ClientSession* ClientTable::byFd(int fd) const {
  auto it = m_byFd.find(fd);
  return it != m_byFd.end() ? it->second : nullptr;
}

}  // namespace evt::service
