// What every test binary shares: a private set of named objects and log
// directory per test process, and helpers to run real child processes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace evt::test {

// The log directory of this test process (a fresh temporary directory).
const std::string& logDirectory();

// Runs `argv` as a child process. `emulator` (may be empty) is a command
// prefix such as "qemu-i386" for a binary this machine cannot run directly.
pid_t spawn(const std::vector<std::string>& argv, const std::string& emulator = std::string());

// The same, with standard output and error written to the files named and
// standard input read from one (empty: inherited), as user and group `uid`
// when that is not -1 (exit status 126 when it cannot be had).
pid_t spawnRedirected(const std::vector<std::string>& argv, const std::string& emulator, const std::string& outPath,
                      const std::string& errPath, const std::string& inPath = std::string(), int uid = -1);

// Waits for `pid`; its exit status, or 128 + signal when a signal ended it.
int waitExit(pid_t pid);
// The same, or -1 after killing it when it still ran after `timeout`.
int exitWithin(pid_t pid, std::chrono::milliseconds timeout);

// The helper program of this build, and how to start it (see tests/CMakeLists.txt).
std::string ownHelperPath();
std::string ownEmulator();
// The host program of this build (tests/helpers/host_helper.cpp); run it
// with ownEmulator().
std::string hostHelperPath();
// The same helper built for the other ABI; empty when not configured.
std::string peerHelperPath();
std::string peerEmulator();

// Reads the whole file; empty when it cannot be read.
std::string readFile(const std::string& path);
// How often `part` occurs in `text`.
std::size_t occurrences(const std::string& text, const std::string& part);

}  // namespace evt::test
