// Named shared memory and named mutexes across real processes.
#include <signal.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Library/CEResultCodes.h"
#include "platform/CPortable.h"
#include "tests/support/TestEnvironment.h"
#include "trace/KelException.h"
#include "trace/_Trace.h"

namespace {

using evt::test::spawn;
using evt::test::waitExit;

// A pipe used as a start gun (its write end closed) or a ready signal.
struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() { EXPECT_EQ(pipe(fds), 0); }
  ~Pipe() {
    close(fds[0]);
    closeWrite();
  }
  void closeWrite() {
    if (fds[1] >= 0) close(fds[1]);
    fds[1] = -1;
  }
  char read1() {
    char c = 0;
    return ::read(fds[0], &c, 1) == 1 ? c : 0;
  }
};

template <typename Body>
pid_t forkChild(Body body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

uint64_t* counterIn(CPSharedMemory& block) { return static_cast<uint64_t*>(block.getAddress()); }

TEST(SharedMemory, ExactlyOneOpenerCreates) {
  Pipe startGun;
  std::vector<pid_t> children;
  for (int i = 0; i < 4; ++i) {
    children.push_back(forkChild([&] {
      startGun.closeWrite();
      startGun.read1();  // returns when the parent closes its end
      CPSharedMemory block("Share-once", 1024);
      char* bytes = static_cast<char*>(block.getAddress());
      bytes[1023] = 'x';  // the whole block is usable by every opener
      return block.isCreator() ? 1 : 0;
    }));
  }
  startGun.closeWrite();
  int creators = 0;
  for (pid_t child : children) creators += waitExit(child);
  EXPECT_EQ(creators, 1);
}

TEST(SharedMemory, OpenerSizesABlockItsCreatorLeftEmpty) {
  // A creator that died between creating and sizing left a zero-length object.
  {
    CPSharedMemory::remove("Share-orphan");
    int fd = shm_open(("/" + std::string(getenv("EVT_SHM_PREFIX")) + "Share-orphan").c_str(),
                      O_RDWR | O_CREAT | O_EXCL, 0666);
    ASSERT_GE(fd, 0);
    close(fd);
  }
  CPSharedMemory block("Share-orphan", 8);
  EXPECT_EQ(block.isCreator(), 0);
  *counterIn(block) = 5;  // would be SIGBUS on an unsized object
  EXPECT_EQ(*counterIn(block), 5u);
}

// A block of no size, or one cut short by someone else, is refused with a
// logged reason instead of being mapped past its end (SIGBUS at the first touch).
TEST(SharedMemory, EmptyOrTruncatedBlockIsRefusedWithAClearError) {
  {
    CPSharedMemory block("Share-cut", 8192);
    static_cast<char*>(block.getAddress())[8191] = 'x';
  }
  int fd = shm_open(("/" + std::string(getenv("EVT_SHM_PREFIX")) + "Share-cut").c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 100), 0);
  close(fd);
  for (const auto& [name, size] : {std::pair<const char*, unsigned long>{"Share-cut", 8192}, {"Share-empty", 0}}) {
    CLibraryLog log;
    try {
      CPSharedMemory block(name, size);
      ADD_FAILURE() << name << ": no exception";
    } catch (const KelException& e) {
      EXPECT_EQ(e.code(), CE_E_CREATE);
    }
  }
  const std::string log = evt::test::readFile(evt::test::logDirectory() + "/evt.log");
  EXPECT_NE(log.find("is 100 bytes, shorter than the 8192 it needs"), std::string::npos) << log;
  CPSharedMemory::remove("Share-cut");
}

TEST(NamedMutex, ThreadsOfOneProcessExcludeEachOther) {
  CPMutex first(1, 0, "Mutex-threads", 1, 1);
  CPMutex second(1, 0, "Mutex-threads", 1, 1);  // a second object, same name
  ASSERT_EQ(first.wait(CPEvent::kInfinite, nullptr), 0);
  EXPECT_EQ(second.wait(20, nullptr), CP_WAIT_TIMEOUT);
  EXPECT_EQ(first.release(), 0);
  EXPECT_EQ(second.wait(CPEvent::kInfinite, nullptr), 0);
  EXPECT_EQ(second.release(), 0);
  EXPECT_EQ(second.release(), CP_E_NOT_OWNER);
}

// A child takes the mutex, says so, and is killed while holding it.
pid_t startDoomedHolder(const char* name) {
  Pipe ready;
  pid_t child = forkChild([&] {
    CPMutex mutex(1, 0, name, 1, 1);
    mutex.wait(CPEvent::kInfinite, nullptr);
    EXPECT_EQ(::write(ready.fds[1], "L", 1), 1);
    pause();
    return 0;
  });
  EXPECT_EQ(ready.read1(), 'L');
  kill(child, SIGKILL);
  return child;
}

TEST(NamedMutex, DeadHolderIsRecovered) {
  CPMutex mutex(1, 0, "Mutex-doomed", 1, 1);
  for (bool reapFirst : {true, false}) {  // not reaped yet, a zombie is dead all the same
    pid_t holder = startDoomedHolder("Mutex-doomed");
    const int reaped = reapFirst ? waitExit(holder) : 0;
    EXPECT_EQ(mutex.wait(5000, nullptr), CP_WAIT_ABANDONED);
    EXPECT_EQ(mutex.release(), 0);
    EXPECT_EQ(reapFirst ? reaped : waitExit(holder), 128 + SIGKILL);
  }
  EXPECT_EQ(mutex.wait(CPEvent::kInfinite, nullptr), 0);
  EXPECT_EQ(mutex.release(), 0);
}

// The helper of this build and, when configured, the other ABI's helper work
// on one lock and one 64-bit counter that starts just below 2^32, so a peer
// that wrote only 32 bits or used another lock layout would show.
TEST(NamedMutex, HelpersOfBothAbisShareLockAndBlock) {
  const uint64_t start = 0xFFFFFFF0ull;
  CPSharedMemory block("Share-abi", 8);
  *counterIn(block) = start;
  const int kCount = 3000;
  std::vector<pid_t> children;
  children.push_back(spawn({evt::test::ownHelperPath(), "count", "abi", std::to_string(kCount)},
                           evt::test::ownEmulator()));
  bool peer = !evt::test::peerHelperPath().empty();
  if (peer) {
    children.push_back(spawn({evt::test::peerHelperPath(), "count", "abi", std::to_string(kCount)},
                             evt::test::peerEmulator()));
  }
  CPMutex mutex(1, 0, "Mutex-abi", 1, 1);
  for (int n = 0; n < kCount; ++n) {
    mutex.wait(CPEvent::kInfinite, nullptr);
    volatile uint64_t* counter = counterIn(block);
    *counter = *counter + 1;
    mutex.release();
  }
  for (pid_t child : children) EXPECT_EQ(waitExit(child), 0);
  EXPECT_EQ(*counterIn(block), start + kCount * (children.size() + 1));
  if (!peer) GTEST_SKIP() << "no helper of the other ABI configured (EVT_PEER_HELPER)";
}

}  // namespace
