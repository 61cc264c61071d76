#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Library/CEResultCodes.h"
#include "platform/CPortable.h"
#include "platform/KelRegLib.h"
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

// "2026-12-06T19:45:07.123Z INF pid 1234 tid 1240 text" of `priority`, this process's pid and holding `text`.
bool isLine(const std::string& line, const std::string& priority, const std::string& text) {
  int year, month, day, hour, minute, second, millis, pid, tid, textStart = -1;
  char label[4] = {};
  int fields = std::sscanf(line.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ %3s pid %d tid %d %n", &year, &month, &day,
                           &hour, &minute, &second, &millis, label, &pid, &tid, &textStart);
  return fields == 10 && textStart > 0 && year >= 2020 && month >= 1 && month <= 12 && pid == getpid() &&
         tid > 0 && line[10] == 'T' && line[23] == 'Z' && label == priority &&
         line.find(text, static_cast<std::size_t>(textStart)) != std::string::npos;
}

// A facility of its own, logging to <log dir>/<name>.log with `mask`.
struct TraceFacility {
  TraceFacility(const std::string& name, const char* mask) : path(logDirectory() + "/" + name + ".log") {
    if (mask != nullptr) setenv("EVT_TRACE_MASK", mask, 1);
    CreateCTraceUtility(&g_ptu, name.c_str(), "evtl", "EventSystem", 1, nullptr, 1, 40000);
    unsetenv("EVT_TRACE_MASK");
  }
  ~TraceFacility() { DestroyCTraceUtility(&g_ptu); }
  std::vector<std::string> lines() const { return linesOf(path); }
  const std::string path;
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
  DestroyCTraceUtility(&trace);
  EXPECT_EQ(trace.load(), first);
  EXPECT_EQ(first->refCount(), 1);
  DestroyCTraceUtility(&trace);
  EXPECT_EQ(trace.load(), nullptr);
}

// Lines carry time, priority, process and thread; the trace mask comes from the environment or the config file
// (traces are off by default); huge lines are written whole.
TEST(TraceUtility, LinesMasksAndHugeLines) {
  {
    TraceFacility facility("lines", "0x9");
    evtTrace(TRACE_DETAIL, KelLogLib::LOGLIB_PRIORITY_INFO, "detail %s", "shown");
    evtTrace(TRACE_TRAFFIC, KelLogLib::LOGLIB_PRIORITY_INFO, "traffic %s", "hidden");
    evtLog(KelLogLib::LOGLIB_PRIORITY_ERROR, "(Error) CEventLibImpl::finalize (0x%08X)",
           static_cast<unsigned>(ce::wordFromResult(CE_E_STOPPING)));
    evtTrace(TRACE_LIFECYCLE, KelLogLib::LOGLIB_PRIORITY_EVENT, "serverid %d",
             static_cast<int>(static_cast<int32_t>(0xFFFFFFFFul)));
    const std::vector<std::string> lines = facility.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(isLine(lines[0], "INF", "detail shown")) << lines[0];
    EXPECT_TRUE(isLine(lines[1], "ERR", "(Error) CEventLibImpl::finalize (0xC11F0D4E)")) << lines[1];
    EXPECT_TRUE(isLine(lines[2], "EVT", "serverid -1")) << lines[2];
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
    TraceFacility facility("nomask", nullptr);
    evtTrace(0xFFFFFFFFul, KelLogLib::LOGLIB_PRIORITY_INFO, "any");
    EXPECT_TRUE(facility.lines().empty());
  }
  TraceFacility facility("huge", "2");
  std::string data(200 * 1024, 'd');
  data.back() = 'E';
  evtTrace(TRACE_TRAFFIC, KelLogLib::LOGLIB_PRIORITY_EVENT, "keys %s, data %s", "k", data.c_str());
  const std::vector<std::string> lines = facility.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("keys k, data " + data), std::string::npos);
}

// A full log begins again beside the last (<name>.log.1), taking at most twice its bound; a removed one begins anew.
TEST(TraceUtility, LogsAreBoundedAndRotate) {
  const std::string path = logDirectory() + "/bounded.log";
  setenv("EVT_LOG_MAX_BYTES", "4096", 1);
  KelLogLib::CLogFile log("bounded", "", true, true, true);
  unsetenv("EVT_LOG_MAX_BYTES");
  for (int i = 0; i < 200; ++i) log.LogString(KelLogLib::LOGLIB_PRIORITY_INFO, "line %d of a bounded log", i);
  EXPECT_LE(readFile(path).size(), 4096u);
  EXPECT_LE(readFile(path + ".1").size(), 4096u);
  const std::vector<std::string> last = linesOf(path);
  ASSERT_FALSE(last.empty());
  EXPECT_NE(last.back().find("line 199 "), std::string::npos);
  // No line lost at the turn: the new file goes on where the old one ends.
  const std::vector<std::string> before = linesOf(path + ".1");
  ASSERT_FALSE(before.empty());
  const int lastBefore = std::atoi(before.back().substr(before.back().find("line ") + 5).c_str());
  EXPECT_NE(last.front().find("line " + std::to_string(lastBefore + 1) + " "), std::string::npos) << last.front();
  std::remove(path.c_str());
  log.LogString(KelLogLib::LOGLIB_PRIORITY_INFO, "after removal");
  EXPECT_NE(readFile(path).find("after removal"), std::string::npos);
}

// A log is never opened through a link or as a file of another name or user, so a folder others may write cannot
// aim a root process's lines at a file of their choosing; a log is 0640, no business of other users.
TEST(TraceUtility, LogsAreOwnPlainFilesClosedToOthers) {
  const std::string target = logDirectory() + "/target", link = logDirectory() + "/linked.log";
  { std::ofstream(target) << "kept\n"; }
  ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
  const std::string hard = logDirectory() + "/hard.log";
  ASSERT_EQ(0, ::link(target.c_str(), hard.c_str()));
  for (const char* name : {"linked", "hard"}) {
    KelLogLib::CLogFile log(name, "", true, true, true);
    EXPECT_EQ(-1, log.LogString(KelLogLib::LOGLIB_PRIORITY_INFO, "aimed elsewhere")) << name;
  }
  EXPECT_EQ("kept\n", readFile(target));

  KelLogLib::CLogFile fresh("fresh", "", true, true, true);
  EXPECT_EQ(0, fresh.LogString(KelLogLib::LOGLIB_PRIORITY_INFO, "own"));
  struct stat info {};
  ASSERT_EQ(0, stat((logDirectory() + "/fresh.log").c_str(), &info));
  EXPECT_EQ(0640u, info.st_mode & 0777);
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

// Failures are negative with either width of long, and a header word read back as a result keeps its sign; an
// exception carries its code and a bounded location.
TEST(ResultCodes, FailuresAreNegativeAndExceptionsCarryThem) {
  for (long code : {CE_E_CREATE, CE_E_NOT_CONNECTED, CE_E_THREAD, CE_E_STOPPING, CE_E_ANSWER_MISMATCH,
                    CE_E_MALFORMED_LIST, ZEBIPC_CLOSED, ZEBIPC_CONNECTED, ZEBIPC_DISCONNECTED, CP_WAIT_TIMEOUT,
                    CP_E_NOT_OWNER, KELREG_E_NOT_FOUND, KELREG_E_BAD_VALUE, KELREG_E_BUFFER}) {
    EXPECT_LT(code, 0) << std::hex << code;
  }
  EXPECT_EQ(ce::resultFromWord(0xC11F0D51u), CE_E_ANSWER_MISMATCH);
  EXPECT_EQ(ce::wordFromResult(CE_E_ANSWER_MISMATCH), 0xC11F0D51u);
  EXPECT_EQ(ce::resultFromWord(6u), 6);

  EXPECT_STREQ(KelException(CE_E_CREATE, nullptr, 12).location(), "");
  const std::string longPath(300, 'p');
  EXPECT_EQ(KelException(CE_E_CREATE, longPath.c_str(), 7).location(), longPath.substr(0, 269));
  // A host that catches std::exception gets the code and the place, the
  // folders of the building machine left out.
  bool caught = false;
  try {
    KEL_THROW(CE_E_ACCESS_DENIED);
  } catch (const std::exception& e) {
    caught = true;
    const auto* kel = dynamic_cast<const KelException*>(&e);
    ASSERT_NE(kel, nullptr);
    EXPECT_EQ(kel->code(), CE_E_ACCESS_DENIED);
    EXPECT_NE(std::string(kel->location()).find("trace_test.cpp."), std::string::npos);
    EXPECT_EQ(std::string(e.what()).rfind("eventlib error 0xC11F0D56 at trace_test.cpp.", 0), 0u) << e.what();
  }
  EXPECT_TRUE(caught);
  EXPECT_STREQ(KelException(CE_E_CREATE, nullptr, 1).what(), "eventlib error 0xC11F0D48");
  const KelException cut(CE_E_CREATE, longPath.c_str(), 7);
  const KelException copy = cut;
  EXPECT_EQ(std::string(copy.what()), "eventlib error 0xC11F0D48 at " + longPath.substr(0, 269));
}

TEST(Portable, NumberText) {
  char buffer[CPortable::kNumberTextSize];
  EXPECT_STREQ(CPortable::itoa(0, buffer, 10), "0");
  EXPECT_STREQ(CPortable::itoa(-2147483647 - 1, buffer, 10), "-2147483648");

  EXPECT_EQ(CPortable::ulltos(0), "0");
  EXPECT_EQ(CPortable::ulltos(18446744073709551615ull), "18446744073709551615");
  EXPECT_EQ(CPortable::stoull("18446744073709551615"), 18446744073709551615ull);
  EXPECT_EQ(CPortable::stoull(" +12x"), 12ull);
  for (const char* bad : {"", "abc", "-1", "18446744073709551616", "99999999999999999999999"}) {
    EXPECT_EQ(CPortable::stoull(bad), 0ull) << bad;
  }
}

TEST(Portable, EventKeepsWakesAndReportsTheMostUrgent) {
  CPEvent event(1, "", 1);
  EXPECT_EQ(event.wait(0, nullptr), CP_WAIT_TIMEOUT);
  event.wake(2);  // nobody waits yet: kept
  EXPECT_EQ(event.wait(CPEvent::kInfinite, nullptr), 2);
  EXPECT_EQ(event.wait(10, nullptr), CP_WAIT_TIMEOUT);  // consumed
  event.wake(1);
  event.wake(4);
  event.wake(2);
  EXPECT_EQ(event.wait(0, nullptr), 4);
  // A wake from another thread ends a wait without limit.
  std::thread waker([&event] { event.wake(1); });
  EXPECT_EQ(event.wait(CPEvent::kInfinite, nullptr), 1);
  waker.join();
}

// The registry file: 32-bit values parsed strictly, failures leaving the output alone, a missing file empty.
TEST(Registry, ReadsValuesFromTheConfiguredFile) {
  using KelRegLib::CRegLib;
  const std::string path = logDirectory() + "/registry.conf";
  std::ofstream(path) << "# this machine\nLocalDBServerID = 12\nHighID=4294967294\nNegative = -1\n"
                         "Text = abc\nTooBig = 4294967296\n";
  setenv("EVT_REGISTRY_FILE", path.c_str(), 1);
  int status = 1;
  CRegLib registry(nullptr, nullptr, static_cast<CRegLib::LOCATION>(0), &status);
  EXPECT_EQ(status, 0);
  uint32_t value = 77;
  EXPECT_EQ(KelRegLib::queryLocalDBServerId(&value), 0);
  EXPECT_EQ(value, 12u);
  unsetenv("EVT_REGISTRY_FILE");
  auto query = [&](CRegLib& from, const char* name, CRegLib::eDataType type = CRegLib::DATA_UINT32) {
    unsigned long size = sizeof value;
    return KelRegLib::KelRegQueryValue(from.RootKey(), name, type, reinterpret_cast<unsigned char*>(&value), &size);
  };
  EXPECT_EQ(query(registry, "HighID"), 0);
  EXPECT_EQ(value, 0xFFFFFFFEu);
  value = 77;
  EXPECT_EQ(query(registry, "Missing"), KELREG_E_NOT_FOUND);
  for (const char* bad : {"Negative", "Text", "TooBig"}) EXPECT_EQ(query(registry, bad), KELREG_E_BAD_VALUE) << bad;
  EXPECT_EQ(value, 77u);

  CRegLib absent((logDirectory() + "/absent.conf").c_str(), nullptr, static_cast<CRegLib::LOCATION>(0), &status);
  EXPECT_EQ(status, static_cast<int>(KELREG_E_NOT_FOUND));
  EXPECT_EQ(query(absent, "LocalDBServerID"), KELREG_E_NOT_FOUND);
}

}  // namespace
