// 64-bit directory offsets and inode numbers, so that readdir works in the 32-bit build on any file system.
#define _FILE_OFFSET_BITS 64
#include "tests/support/TestEnvironment.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace evt::test {
namespace {

std::string g_logDirectory;
std::string g_prefix;
std::string g_runtimeDirectory;

void removeTree(const std::string& dir) {
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* entry = readdir(d)) {
      std::string name = entry->d_name;
      const std::string path = dir + "/" + name;
      if (name != "." && name != ".." && unlink(path.c_str()) != 0) rmdir(path.c_str());
    }
    closedir(d);
  }
  rmdir(dir.c_str());
}

// Gives the test process its own named-object prefix and log directory, removed at the end: parallel runs never meet.
class IsolatedEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    g_prefix = "evttest." + std::to_string(getpid()) + ".";
    setenv("EVT_SHM_PREFIX", g_prefix.c_str(), 1);
    auto fresh = [](std::string dir, const char* variable) {
      if (mkdtemp(&dir[0]) == nullptr) std::abort();
      setenv(variable, dir.c_str(), 1);
      return dir;
    };
    g_logDirectory = fresh("/tmp/evttest-log-XXXXXX", "EVT_LOG_DIR");
    g_runtimeDirectory = fresh("/tmp/evttest-run-XXXXXX", "EVT_RUNTIME_DIR");
    unsetenv("EVT_TRACE_MASK");
    unsetenv("EVT_LOG_CONFIG");
  }

  void TearDown() override {
    if (DIR* d = opendir("/dev/shm")) {
      while (dirent* entry = readdir(d)) {
        std::string name = entry->d_name;
        if (name.compare(0, g_prefix.size(), g_prefix) == 0) shm_unlink(("/" + name).c_str());
      }
      closedir(d);
    }
    // EVT_TEST_KEEP_LOGS=1 keeps the logs of a failing run to read.
    if (std::getenv("EVT_TEST_KEEP_LOGS") == nullptr) {
      removeTree(g_logDirectory);
    } else {
      std::fprintf(stderr, "logs kept in %s\n", g_logDirectory.c_str());
    }
    removeTree(g_runtimeDirectory);
  }
};

// Gives each test a prefix of its own within the process's, set before its
// fixture is made: what one test numbered is not in the next one's store
// (eventd reads a store already in use as a restart).
class PrefixPerTest : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo& test) override {
    const std::string prefix = g_prefix + test.test_suite_name() + "." + test.name() + ".";
    setenv("EVT_SHM_PREFIX", prefix.c_str(), 1);
  }
  void OnTestEnd(const ::testing::TestInfo&) override { setenv("EVT_SHM_PREFIX", g_prefix.c_str(), 1); }
};

}  // namespace

const std::string& logDirectory() { return g_logDirectory; }

pid_t spawn(const std::vector<std::string>& argv, const std::string& emulator, const std::string& outPath,
            const std::string& errPath, const std::string& inPath, int uid) {
  std::vector<std::string> words;
  std::istringstream emulatorWords(emulator);
  for (std::string word; emulatorWords >> word;) words.push_back(word);
  words.insert(words.end(), argv.begin(), argv.end());
  std::vector<char*> args;
  for (std::string& word : words) args.push_back(&word[0]);
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    auto redirect = [](const std::string& path, int target, int flags) {
      if (path.empty()) return;
      int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
      if (fd >= 0) dup2(fd, target);
    };
    redirect(inPath, STDIN_FILENO, O_RDONLY);
    redirect(outPath, STDOUT_FILENO, O_WRONLY | O_CREAT | O_TRUNC);
    redirect(errPath, STDERR_FILENO, O_WRONLY | O_CREAT | O_TRUNC);
    if (uid != -1 && (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(uid)) != 0 ||
                      setuid(static_cast<uid_t>(uid)) != 0)) {
      _exit(126);
    }
    execvp(args[0], args.data());
    std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
    _exit(127);
  }
  return pid;
}

static int statusOf(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

uint32_t processStartTime(pid_t pid) {
  // "pid (comm) S ppid ...": the start time is the 20th field after the last ')'.
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/stat");
  const char* field = std::strrchr(stat.c_str(), ')');
  for (int i = 0; i < 20 && field != nullptr; ++i) field = std::strchr(field + 1, ' ');
  return field == nullptr ? 0 : static_cast<uint32_t>(std::strtoull(field + 1, nullptr, 10));
}

int waitExit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return statusOf(status);
}

int exitWithin(pid_t pid, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= end) {
      ::kill(pid, SIGKILL);
      waitExit(pid);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return statusOf(status);
}

void OwnObjectPrefix::SetUp() {
  m_saved = std::getenv("EVT_SHM_PREFIX");
  setenv("EVT_SHM_PREFIX", testPrefix().c_str(), 1);
}

void OwnObjectPrefix::TearDown() {
  if (!m_saved.empty()) setenv("EVT_SHM_PREFIX", m_saved.c_str(), 1);
}

std::string OwnObjectPrefix::testPrefix() const {
  return m_saved + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".";
}

std::string ownHelperPath() { return EVT_OWN_HELPER; }
std::string ownEmulator() { return EVT_OWN_EMULATOR; }
std::string peerHelperPath() { return EVT_PEER_HELPER_PATH; }
std::string peerEmulator() { return EVT_PEER_HELPER_EMULATOR; }

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

}  // namespace evt::test

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new evt::test::IsolatedEnvironment);
  ::testing::UnitTest::GetInstance()->listeners().Append(new evt::test::PrefixPerTest);
  return RUN_ALL_TESTS();
}
