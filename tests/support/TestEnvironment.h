// What every test binary shares: private named objects and log directory per process, and child process helpers.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace evt::test {

// The log directory of this test process (a fresh temporary directory).
const std::string& logDirectory();

// Runs `argv` as a child process behind `emulator` (a command prefix such as "qemu-i386", may be empty), output
// and errors written to the files named and input read from one (empty: inherited), as user and group `uid` when
// that is not -1 (exit status 126 when it cannot be had).
pid_t spawn(const std::vector<std::string>& argv, const std::string& emulator = std::string(),
            const std::string& outPath = std::string(), const std::string& errPath = std::string(),
            const std::string& inPath = std::string(), int uid = -1);

// Waits for `pid`: its exit status, or 128 + signal; with a timeout, -1 after killing it when it still ran.
int waitExit(pid_t pid);
int exitWithin(pid_t pid, std::chrono::milliseconds timeout);

// This build's helper program (tests/helpers/test_helper.cpp), run with ownEmulator(); the other ABI's when
// configured (else empty), run with peerEmulator().
std::string ownHelperPath();
std::string ownEmulator();
std::string peerHelperPath();
std::string peerEmulator();

// The start time of process `pid` in clock ticks after boot, low 32 bits, as the store's lock stamps its holder
// (0 when /proc does not tell).
uint32_t processStartTime(pid_t pid);

// Reads the whole file; empty when it cannot be read.
std::string readFile(const std::string& path);
// How often `part` occurs in `text`.
std::size_t occurrences(const std::string& text, const std::string& part);

// A test under an object prefix of its own, named for it: it starts where no shared object exists yet.
class OwnObjectPrefix : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // The test's prefix.
  std::string testPrefix() const;
  std::string m_saved;  // the process's
};

// Runs `work` and returns what it returns, failing the test when that takes longer than `bound`.
template <typename Work>
auto finishesWithin(std::chrono::milliseconds bound, Work work) {
  auto done = std::async(std::launch::async, work);
  EXPECT_EQ(std::future_status::ready, done.wait_for(bound)) << "did not return in time";
  return done.get();
}

}  // namespace evt::test
