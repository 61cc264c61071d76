// The interfaces through which the library calls back into its host. The
// engine never owns, copies or deletes a handler; every call comes from the
// library's request thread with no library lock held, so a handler may queue
// requests (publish, subscribe, deliverEvent, execute, ...) but must not
// finalize or destroy the client object. A negative result is only logged.
#pragma once

#include <string>

#include "Library/CEExport.h"

class CE_EXPORT CEventHandler {
 public:
  CEventHandler() = default;
  virtual ~CEventHandler() {}
  // An event of a subscribed category, or a "missed-event" report.
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
  // The service's "completed" notice, its two numbers as received.
  virtual long onCompleted(long first, long second) = 0;
};
