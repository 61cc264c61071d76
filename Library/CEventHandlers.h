// The interfaces through which the library calls back into its host. The
// engine never owns, copies or deletes a handler. Every call comes from the
// library's one request thread, one call at a time, with no library lock
// held, so a handler may queue requests (publish, subscribe, deliverEvent,
// execute, ...) but must not finalize or destroy the client object, and
// what it shares with the host's own threads it guards itself. A negative
// result is only logged; so is an exception escaping a handler (as
// CE_E_HANDLER_THREW), and delivery goes on.
#pragma once

#include <string>

#include "CEExport.h"

class CE_EXPORT CEventHandler {
 public:
  CEventHandler() = default;
  virtual ~CEventHandler() {}
  // An event of a subscribed category, or one of the category "eventsystem",
  // which the system itself sends:
  //  - "missed-event": events were lost before this one; keys is a list
  //    holding the category they belong to, seqNo the number that showed
  //    the gap, serverId the server that numbered them.
  //  - "connected" / "disconnected" with keys "", seqNo 0 and serverId this
  //    machine's (CEventLib::thisServerId()): this client's own connection
  //    to the service came (it is registered and its publications and
  //    subscriptions are renewed) or went. A host that must wait until it is connected waits
  //    for this "connected" event, or polls CEventLib::isConnected().
  //  - "connected" / "disconnected" with another server's id: that server
  //    of a federation is heard again, or is lost.
  virtual long onDeliverEvent(const std::string& category, const std::string& keys, const std::string& data,
                              unsigned long long seqNo, unsigned long serverId) = 0;
};

class CE_EXPORT CPublishHandler {
 public:
  CPublishHandler() = default;
  virtual ~CPublishHandler() {}
  // The service's "publish" (bPublish 1) or "retract" (0) notice.
  virtual long onPublish(const std::string& category, long serverId, int bPublish) = 0;
};

class CE_EXPORT CCompletionHandler {
 public:
  CCompletionHandler() = default;
  virtual ~CCompletionHandler() {}
  // The answer to execute(first): `first` is the completion id, `second`
  // its result. 0: the service has handled everything this client queued
  // before the id. CE_E_NOT_CONNECTED: the id was sent, but the connection
  // to the service was lost before it was answered, and no answer will
  // come; what was queued before it may or may not have arrived.
  virtual long onCompleted(long first, long second) = 0;
};
