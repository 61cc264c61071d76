#include "tests/support/TestHost.h"

#include <algorithm>

#include "tests/support/FakeService.h"

namespace evt::test {

TestHost::TestHost(const std::string& name)
    : m_lib(std::make_unique<CEventLib>(name, &handlers, &handlers, &handlers)) {
  m_lib->initialize();
}

TestHost::~TestHost() { m_lib->finalize(); }

bool TestHost::registered(std::chrono::milliseconds timeout) {
  return eventually([this] { return m_lib->execute(0) >= 0; }, timeout);
}

bool TestHost::flush(std::chrono::milliseconds timeout) {
  const long id = ++m_nextCompletion;
  if (!eventually([&] { return m_lib->execute(static_cast<unsigned long>(id)) >= 0; }, timeout)) return false;
  return eventually(
      [&] {
        auto done = handlers.completions();
        return std::any_of(done.begin(), done.end(), [id](const std::pair<long, long>& c) { return c.first == id; });
      },
      timeout);
}

}  // namespace evt::test
