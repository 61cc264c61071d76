// Every connected client, found by its number and by its socket descriptor,
// listed in number (connection) order. The table owns the sessions; the
// service and the router share it. Used only on the service loop's
// thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "eventd/ClientSession.h"

namespace evt::service {

class ClientTable {
 private:
  using Entries = std::map<uint64_t, std::unique_ptr<ClientSession>>;

 public:
  ClientTable() = default;
  ClientTable(const ClientTable&) = delete;
  ClientTable& operator=(const ClientTable&) = delete;

  // Takes `client` in, its number new to the table.
  ClientSession& add(std::unique_ptr<ClientSession> client);
  // Takes the client out of the table and destroys it.
  void remove(ClientSession& client);

  // Null when no client has that number, or that descriptor. Sessions with
  // no descriptor (-1) are found by number only.
  ClientSession* byNumber(uint64_t number) const;
  ClientSession* byFd(int fd) const;
  // The client of a number known to be listed.
  ClientSession& at(uint64_t number) const { return *m_byNumber.at(number); }
  std::size_t size() const { return m_byNumber.size(); }

  // In number order. Adding or removing a client invalidates only the
  // iterators of that client.
  class Iterator {
   public:
    explicit Iterator(Entries::const_iterator at) : m_at(at) {}
    ClientSession& operator*() const { return *m_at->second; }
    Iterator& operator++() {
      ++m_at;
      return *this;
    }
    bool operator!=(const Iterator& other) const { return m_at != other.m_at; }

   private:
    Entries::const_iterator m_at;
  };
  Iterator begin() const { return Iterator(m_byNumber.begin()); }
  Iterator end() const { return Iterator(m_byNumber.end()); }

 private:
  Entries m_byNumber;
  std::map<int, ClientSession*> m_byFd;
};

}  // namespace evt::service
