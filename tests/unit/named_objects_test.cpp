// Named shared memory and named mutexes across real processes.
#include <signal.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Library/CEResultCodes.h"
#include "platform/CPortable.h"
#include "platform/linux/ObjectNames.h"
#include "Service/CategorySeqNo.h"
#include "tests/support/TestEnvironment.h"
#include "trace/KelException.h"
#include "trace/_Trace.h"

namespace {

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

// An opener sizes a block its creator left empty; a block of no size, or cut short by someone, is refused with a
// logged reason, not mapped past its end (SIGBUS at the first touch).
TEST(SharedMemory, EmptyBlocksAreSizedAndTruncatedOnesRefused) {
  // A creator that died between creating and sizing left a zero-length object.
  CPSharedMemory::remove("Share-orphan");
  int fd = shm_open(("/" + std::string(getenv("EVT_SHM_PREFIX")) + "Share-orphan").c_str(),
                    O_RDWR | O_CREAT | O_EXCL, 0660);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(fchmod(fd, 0660), 0);  // whatever the umask
  close(fd);
  CPSharedMemory orphan("Share-orphan", 8);
  EXPECT_EQ(orphan.isCreator(), 0);
  static_cast<char*>(orphan.getAddress())[7] = 5;  // would be SIGBUS on an unsized object

  {
    CPSharedMemory block("Share-cut", 8192);
    static_cast<char*>(block.getAddress())[8191] = 'x';
  }
  fd = shm_open(("/" + std::string(getenv("EVT_SHM_PREFIX")) + "Share-cut").c_str(), O_RDWR, 0);
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

// Objects found in place are used only when the store's users made them for the store: owned by root, this user or
// a member of the access group, of that group, and closed to everyone else. Others are refused, with the reason.
TEST(SharedMemory, SquattedObjectsAreRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make objects of other users";
  struct Squat {
    const char* name;
    const char* group;  // EVT_GROUP while it is opened
    uid_t owner;
    gid_t groupId;
    mode_t mode;
    const char* reason;  // empty: accepted
  };
  const Squat squats[] = {
      {"Share-sq-nobody", "daemon", 65534, 1, 0660, "its owner, uid 65534, is neither root, this user (uid 0) nor a "
                                                    "member of group daemon"},
      {"Share-sq-open", "daemon", 0, 1, 0666, "its mode 0666 lets every user in"},
      {"Share-sq-read", "daemon", 1, 1, 0664, "its mode 0664 lets every user in"},
      {"Share-sq-group", "daemon", 0, 0, 0660, "its group, gid 0, is not the store's group daemon (gid 1)"},
      {"Share-sq-nogroup", "no-such-group-here", 1, 1, 0660, "its owner, uid 1, is neither root, this user (uid 0);"},
      {"Share-sq-member", "daemon", 1, 1, 0660, ""},  // daemon (uid 1) is of group daemon
      {"Share-sq-root", "daemon", 0, 1, 0600, ""},
  };
  for (const Squat& squat : squats) {
    SCOPED_TRACE(squat.name);
    const std::string osName = evt::platform::osObjectName(squat.name);
    int fd = shm_open(osName.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 8), 0);
    ASSERT_EQ(fchown(fd, squat.owner, squat.groupId), 0);
    ASSERT_EQ(fchmod(fd, squat.mode), 0);
    close(fd);
    setenv("EVT_GROUP", squat.group, 1);
    CLibraryLog log;
    long code = 0;
    try {
      CPSharedMemory block(squat.name, 8);
      EXPECT_EQ(block.isCreator(), 0);
    } catch (const KelException& e) {
      code = e.code();
    }
    unsetenv("EVT_GROUP");
    const std::string text = evt::test::readFile(evt::test::logDirectory() + "/evt.log");
    if (*squat.reason == '\0') {
      EXPECT_EQ(code, 0);
    } else {
      EXPECT_EQ(code, CE_E_CREATE);
      EXPECT_NE(text.find("(Error) CPSharedMemory::CPSharedMemory " + osName + " is not to be trusted: " +
                          squat.reason),
                std::string::npos)
          << text;
    }
    CPSharedMemory::remove(squat.name);
  }

  // The store: a squatted category block fails that category alone; a squatted list, the whole store.
  const std::string saved = getenv("EVT_SHM_PREFIX");
  for (const char* name : {"Share-SeqNoInfo-taken", "Share-AllSeqNoInfo"}) {
    setenv("EVT_SHM_PREFIX", (saved + "squat." + name + ".").c_str(), 1);
    int fd = shm_open(evt::platform::osObjectName(name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fchmod(fd, 0666), 0);
    close(fd);
    if (std::string(name) == "Share-SeqNoInfo-taken") {
      CCategorySeqNo store;
      unsigned long long n = 0;
      EXPECT_EQ(store.getNextSeqNo("taken", &n), CE_E_CREATE);
      EXPECT_EQ(n, 0u);
      EXPECT_EQ(store.getNextSeqNo("free", &n), 0);
    } else {
      EXPECT_THROW(CCategorySeqNo store, KelException);
    }
  }
  setenv("EVT_SHM_PREFIX", saved.c_str(), 1);
}

// Two objects of one name exclude each other in a process; a holder dying (reaped or a zombie) leaves it abandoned.
TEST(NamedMutex, ExcludesAndRecoversFromADeadHolder) {
  CPMutex first(1, 0, "Mutex-doomed", 1, 1);
  CPMutex second(1, 0, "Mutex-doomed", 1, 1);
  ASSERT_EQ(first.wait(CPEvent::kInfinite, nullptr), 0);
  EXPECT_EQ(second.wait(20, nullptr), CP_WAIT_TIMEOUT);
  EXPECT_EQ(first.release(), 0);
  EXPECT_EQ(first.release(), CP_E_NOT_OWNER);
  for (bool reapFirst : {true, false}) {
    Pipe ready;
    pid_t holder = forkChild([&] {
      CPMutex mutex(1, 0, "Mutex-doomed", 1, 1);
      mutex.wait(CPEvent::kInfinite, nullptr);
      EXPECT_EQ(::write(ready.fds[1], "L", 1), 1);
      pause();
      return 0;
    });
    EXPECT_EQ(ready.read1(), 'L');
    kill(holder, SIGKILL);
    const int reaped = reapFirst ? waitExit(holder) : 0;
    EXPECT_EQ(second.wait(5000, nullptr), CP_WAIT_ABANDONED);
    EXPECT_EQ(second.release(), 0);
    EXPECT_EQ(reapFirst ? reaped : waitExit(holder), 128 + SIGKILL);
  }
  EXPECT_EQ(first.wait(CPEvent::kInfinite, nullptr), 0);
  EXPECT_EQ(first.release(), 0);
}

}  // namespace
