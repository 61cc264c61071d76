// The client object the evt commands share: a CEventLib whose handlers turn
// registration and completions into things a command can wait for, and pass
// events to the command's callback (on the library's request thread).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "Library/CELibrary.h"

namespace evt::tool {

// Set by SIGINT/SIGTERM once installInterruptHandlers() ran.
extern std::atomic<bool> g_interrupted;
void installInterruptHandlers();

// The service's socket path as this process would reach it.
std::string serviceEndpoint();
// Prints why no service can be reached; returns the exit status 1.
int noService();
// Prints why the shared store could not be opened (KelException code);
// returns the exit status 1.
int storeFailure(long code);
// Prints why the library refused to `action` ("publish to", "subscribe to")
// `category` with `result` (negative), the code in hex; returns the exit
// status 1.
int refused(const char* action, const std::string& category, long result);
// Waits until something accepts connections at the service's socket, or
// until the socket refuses this user (the caller's client then says so);
// false after `timeout` or an interrupt. Lets a command find out that no
// service runs before its client opens the shared store, which would
// otherwise be created for nobody's use.
bool serviceAppears(std::chrono::milliseconds timeout);

class EvtClient : public CEventHandler, public CPublishHandler, public CCompletionHandler {
 public:
  using EventCallback = std::function<void(const std::string& category, const std::string& keys,
                                           const std::string& data, unsigned long long seqNo, unsigned long serverId)>;

  EvtClient(const std::string& name, EventCallback onEvent);
  ~EvtClient() override;

  // Waits until the client is registered with the service (the service's
  // socket may appear meanwhile); false after `timeout` or an interrupt.
  bool waitRegistered(std::chrono::milliseconds timeout);
  // Registered with the service now.
  bool registered() { return m_lib.execute(0) >= 0; }
  // Sends what is queued with a completion id and waits until the service
  // reports it handled; false after `timeout`, an interrupt or when not
  // registered.
  bool flush(std::chrono::milliseconds timeout);

  CEventLib& lib() { return m_lib; }

  long onDeliverEvent(const std::string& category, const std::string& keys, const std::string& data,
                      unsigned long long seqNo, unsigned long serverId) override;
  long onPublish(const std::string&, long, int) override { return 0; }
  long onCompleted(long first, long second) override;

 private:
  EventCallback m_onEvent;
  std::mutex m_mutex;
  std::condition_variable m_completed;
  long m_lastCompleted = 0;
  long m_nextCompletion = 0;
  CEventLib m_lib;  // last: its threads stop before the members above go
};

}  // namespace evt::tool
