// CEventLib: the client object a host creates to talk to the event service.
//
//   CEventLib client("my-host", &events, &publishes, &completions);
//   client.initialize();        // threads start; the service may come later
//   ...                         // queue requests
//   client.execute(0);          // send them within 200 ms (an id: at once)
//   client.finalize();          // or just destroy the object
//
// Every operation but initialize and finalize is refused with CE_E_STOPPING
// once finalize has begun. Results are 32-bit codes, negative on failure.
#pragma once

#include <string>

#include "Library/CEExport.h"
#include "Library/CEventHandlers.h"

class CEventLibImpl;

class CE_EXPORT CEventLib {
 public:
  // Throws KelException(CE_E_CREATE) when the engine cannot be allocated;
  // the handlers (any may be null) stay the host's.
  CEventLib(const std::string& name, CEventHandler* pEventHandler, CPublishHandler* pPublishHandler,
            CCompletionHandler* pCompletionHandler);
  // Finalizes and frees the engine.
  virtual ~CEventLib();
  CEventLib(const CEventLib&) = delete;
  CEventLib& operator=(const CEventLib&) = delete;

  long initialize();
  long finalize();
  // Start or stop publishing a category; remembered across reconnections.
  long publish(const std::string& category);
  long retract(const std::string& category);
  // Subscribes to `category` as published by server `serverId`
  // (0xFFFFFFFF: this machine's server) for events whose keys begin with
  // the patterns listed in `keys` (a parameter list; "*" matches any one
  // key, and when last, all the rest). *pSubscription (may be null)
  // receives the text that unsubscribe takes.
  long subscribe(const std::string& category, const std::string& keys, unsigned long serverId,
                 std::string* pSubscription);
  long unsubscribe(const std::string& subscription);
  // Numbers and queues one event of this host; it leaves with the next
  // execute. CE_E_NOT_CONNECTED when it cannot be sent (not registered).
  long deliverEvent(const std::string& category, const std::string& keys, const std::string& data);
  // Sends the queued requests: completionId 0 within 200 ms, any other id at
  // once, followed by a "completion-id" request whose completion the service
  // reports to the completion handler. CE_E_NOT_CONNECTED while the client
  // is not registered with the service.
  long execute(unsigned long completionId);

  // The engine, for diagnostics and tests.
  CEventLibImpl* engine() const { return m_pImpl; }

 private:
  CEventLibImpl* m_pImpl;
};
