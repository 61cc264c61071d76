#include "tests/support/TestHost.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

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

bool TestHost::subscribeTo(const std::string& category, unsigned long server) {
  return m_lib->subscribe(category, "", server, nullptr) >= 0 && flush();
}

std::size_t TestHost::received(const std::string& category) const {
  const auto events = handlers.events();
  return static_cast<std::size_t>(std::count_if(
      events.begin(), events.end(), [&](const RecordingHandlers::Event& e) { return e.category == category; }));
}

HostProcess::HostProcess(const std::vector<std::string>& args) {
  static int serial = 0;
  m_out = logDirectory() + "/host" + std::to_string(getpid()) + "-" + std::to_string(++serial) + ".out";
  std::vector<std::string> argv{hostHelperPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  m_pid = spawnRedirected(argv, ownEmulator(), m_out, m_out + ".err");
}

HostProcess::Result HostProcess::result() const {
  Result r;
  const std::string text = output();
  const std::size_t at = text.find("received ");
  if (at != std::string::npos) {
    std::sscanf(text.c_str() + at, "received %ld missed %ld disorder %ld", &r.received, &r.missed, &r.disorder);
  }
  return r;
}

}  // namespace evt::test
