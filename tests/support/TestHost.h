// A host in the test process: a CEventLib with recording handlers, talking
// to the real service over the real channel.
#pragma once

#include <memory>
#include <string>

#include "Library/CEventLib.h"
#include "tests/support/EngineFixture.h"

namespace evt::test {

class TestHost {
 public:
  explicit TestHost(const std::string& name);
  ~TestHost();

  // Waits until the client is registered (execute is accepted).
  bool registered(std::chrono::milliseconds timeout = std::chrono::milliseconds(20000));
  // Sends the queue with a new completion id and waits for its completion:
  // afterwards the service has handled everything queued before.
  bool flush(std::chrono::milliseconds timeout = std::chrono::milliseconds(20000));

  CEventLib& lib() { return *m_lib; }
  RecordingHandlers handlers;

 private:
  long m_nextCompletion = 1000;
  std::unique_ptr<CEventLib> m_lib;
};

}  // namespace evt::test
