#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Library/CEResultCodes.h"
#include "platform/CPortable.h"
#include "tests/support/TestEnvironment.h"
#include "trace/KelException.h"
#include "trace/_Trace.h"

namespace {

using evt::test::logDirectory;
using evt::test::readFile;

std::vector<std::string> linesOf(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(readFile(path));
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// "2026-12-06T19:45:07.123Z INF pid 1234 tid 1240 text" with this process's pid.
bool hasLineShape(const std::string& line) {
  int year, month, day, hour, minute, second, millis, pid, tid, textStart = -1;
  char priority[4] = {};
  int fields = std::sscanf(line.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ %3s pid %d tid %d %n", &year, &month, &day,
                           &hour, &minute, &second, &millis, priority, &pid, &tid, &textStart);
  return fields == 10 && textStart > 0 && year >= 2020 && month >= 1 && month <= 12 && pid == getpid() &&
         tid > 0 && line[10] == 'T' && line[23] == 'Z';
}

// A facility of its own, logging to <log dir>/<name>.log with `mask`.
class TraceFacility {
 public:
  TraceFacility(const std::string& name, const char* mask) : m_path(logDirectory() + "/" + name + ".log") {
    if (mask != nullptr) setenv("EVT_TRACE_MASK", mask, 1);
    CreateCTraceUtility(&g_ptu, name.c_str(), "evtl", "EventSystem", 1, nullptr, 1, 40000);
    unsetenv("EVT_TRACE_MASK");
  }
  ~TraceFacility() { DestroyCTraceUtility(&g_ptu); }
  std::vector<std::string> lines() const { return linesOf(m_path); }

 private:
  std::string m_path;
};

TEST(TraceUtility, IsReferenceCounted) {
  std::atomic<CTraceUtility*> trace{nullptr};
  DestroyCTraceUtility(&trace);  // nothing to release
  EXPECT_EQ(trace.load(), nullptr);

  CreateCTraceUtility(&trace, "refcount", "evtl", "EventSystem", 1, nullptr, 1, 40000);
  CTraceUtility* first = trace.load();
  ASSERT_NE(first, nullptr);
  CreateCTraceUtility(&trace, "ignored", nullptr, nullptr, 0, nullptr, 0, 0);
  EXPECT_EQ(trace.load(), first);
  EXPECT_EQ(first->refCount(), 2);
  EXPECT_NE(first->logFile()->path().find("refcount.log"), std::string::npos);

  DestroyCTraceUtility(&trace);
  EXPECT_EQ(trace.load(), first);
  EXPECT_EQ(first->refCount(), 1);
  DestroyCTraceUtility(&trace);
  EXPECT_EQ(trace.load(), nullptr);
}

TEST(TraceUtility, LinesCarryTimePriorityProcessAndThread) {
  {
    TraceFacility facility("lines", "0x9");
    evtTrace(TRACE_DETAIL, KelLogLib::LOGLIB_PRIORITY_INFO, "detail %s", "shown");
    evtTrace(TRACE_TRAFFIC, KelLogLib::LOGLIB_PRIORITY_INFO, "traffic %s", "hidden");
    evtLog(KelLogLib::LOGLIB_PRIORITY_ERROR, "(Error) CEventLibImpl::finalize (0x%08X)",
           static_cast<unsigned>(ce::wordFromResult(CE_E_STOPPING)));
    evtTrace(TRACE_LIFECYCLE, KelLogLib::LOGLIB_PRIORITY_EVENT, "serverid %d",
             static_cast<int>(static_cast<int32_t>(0xFFFFFFFFul)));
  }
  std::vector<std::string> lines = linesOf(logDirectory() + "/lines.log");
  ASSERT_EQ(lines.size(), 3u);
  for (const std::string& line : lines) EXPECT_TRUE(hasLineShape(line)) << line;
  EXPECT_NE(lines[0].find(" INF ") , std::string::npos);
  EXPECT_NE(lines[0].find("detail shown"), std::string::npos);
  EXPECT_NE(lines[1].find(" ERR "), std::string::npos);
  EXPECT_NE(lines[1].find("(Error) CEventLibImpl::finalize (0xC11F0D4E)"), std::string::npos);
  EXPECT_NE(lines[2].find(" EVT "), std::string::npos);
  EXPECT_NE(lines[2].find("serverid -1"), std::string::npos);
}

TEST(TraceUtility, MaskComesFromTheEnvironmentOrTheConfigFile) {
  {
    TraceFacility facility("mask3", "3");
    evtTrace(TRACE_DETAIL, KelLogLib::LOGLIB_PRIORITY_INFO, "detail");
    evtLog(KelLogLib::LOGLIB_PRIORITY_INFO, "always");
    EXPECT_EQ(facility.lines().size(), 1u);
  }
  const std::string config = logDirectory() + "/log.conf";
  std::ofstream(config) << "# traces\ntrace_mask = 0x8\n";
  setenv("EVT_LOG_CONFIG", config.c_str(), 1);
  {
    TraceFacility facility("config", nullptr);
    evtTrace(TRACE_DETAIL, KelLogLib::LOGLIB_PRIORITY_INFO, "detail");
    evtTrace(TRACE_LIFECYCLE, KelLogLib::LOGLIB_PRIORITY_INFO, "lifecycle");
    ASSERT_EQ(facility.lines().size(), 1u);
    EXPECT_NE(facility.lines()[0].find("detail"), std::string::npos);
  }
  unsetenv("EVT_LOG_CONFIG");
  {
    TraceFacility facility("nomask", nullptr);  // traces are off by default
    evtTrace(0xFFFFFFFFul, KelLogLib::LOGLIB_PRIORITY_INFO, "any");
    EXPECT_TRUE(facility.lines().empty());
  }
}

TEST(TraceUtility, HugeLinesAreWrittenWhole) {
  TraceFacility facility("huge", "2");
  std::string data(200 * 1024, 'd');
  data.back() = 'E';
  evtTrace(TRACE_TRAFFIC, KelLogLib::LOGLIB_PRIORITY_EVENT, "keys %s, data %s", "k", data.c_str());
  std::vector<std::string> lines = facility.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("keys k, data " + data), std::string::npos);
}

TEST(TraceUtility, BlocksStayTogether) {
  TraceFacility facility("block", nullptr);
  CPEvent otherStarted(1, "", 1);
  std::thread other;
  {
    CLogBlock block;
    other = std::thread([&] {
      otherStarted.wake(1);
      for (int i = 0; i < 50; ++i) evtLog(KelLogLib::LOGLIB_PRIORITY_INFO, "other %d", i);
    });
    otherStarted.wait(CPEvent::kInfinite, nullptr);
    for (int i = 0; i < 50; ++i) evtLog(KelLogLib::LOGLIB_PRIORITY_INFO, "block %d", i);
  }
  other.join();
  std::vector<std::string> lines = facility.lines();
  ASSERT_EQ(lines.size(), 100u);
  for (int i = 0; i < 50; ++i) EXPECT_NE(lines[i].find("block " + std::to_string(i)), std::string::npos);
}

TEST(KelException, CarriesCodeAndBoundedLocation) {
  KelException none(CE_E_CREATE, nullptr, 12);
  EXPECT_EQ(none.code(), CE_E_CREATE);
  EXPECT_STREQ(none.location(), "");

  KelException here(CE_E_MALFORMED_LIST, "Utilities/CParamsX.cpp", 42);
  EXPECT_STREQ(here.location(), "Utilities/CParamsX.cpp.42");

  std::string longPath(300, 'p');
  KelException cut(CE_E_CREATE, longPath.c_str(), 7);
  EXPECT_EQ(std::string(cut.location()), longPath.substr(0, 269));

  try {
    KEL_THROW(CE_E_CREATE);
  } catch (const KelException& e) {
    EXPECT_EQ(e.code(), CE_E_CREATE);
    EXPECT_NE(std::string(e.location()).find("trace_test.cpp."), std::string::npos);
  }
}

}  // namespace
