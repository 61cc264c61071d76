// Blocks of the shared store cut short by another process after they were mapped: every access is refused with
// CE_E_STORE_DAMAGED and a logged reason, and no process dies of SIGBUS.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "Library/CEResultCodes.h"
#include "Service/CategorySeqNo.h"
#include "platform/CPortable.h"
#include "platform/linux/ObjectNames.h"
#include "tests/support/EngineFixture.h"
#include "tests/support/TestEnvironment.h"
#include "trace/_Trace.h"

namespace evt::test {
namespace {

// Another process cuts the named block to `size` bytes; false when it could not.
bool cutShort(const std::string& logicalName, off_t size) {
  const pid_t child = fork();
  if (child == 0) {
    const int fd = shm_open(platform::osObjectName(logicalName).c_str(), O_RDWR, 0);
    _exit(fd >= 0 && ftruncate(fd, size) == 0 ? 0 : 1);
  }
  return waitExit(child) == 0;
}

std::string libraryLog() { return readFile(logDirectory() + "/evt.log"); }

// Each test cuts blocks of a store of its own.
class StoreDamage : public OwnObjectPrefix {
 protected:
  void SetUp() override {
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "ThreadSanitizer takes SIGBUS for itself: the guard cannot jump back out under it";
#endif
    OwnObjectPrefix::SetUp();
  }
};

// A category's block cut to nothing (its page gone: SIGBUS at a touch) or to half its number (the page kept, the
// number's high half zeroed) is refused from then on, logged once; the store's other categories go on.
TEST_F(StoreDamage, CutCategoryBlocksAreRefusedAndLoggedOnce) {
  CLibraryLog log;
  CCategorySeqNo store;
  for (const off_t size : {0, 4}) {
    const std::string category = "cut" + std::to_string(size);
    unsigned long long n = 0;
    ASSERT_EQ(0, store.getNextSeqNo(category, &n));
    const unsigned long long issued = n;
    ASSERT_TRUE(cutShort("Share-SeqNoInfo-" + category, size));

    unsigned long long untouched = 7;
    EXPECT_EQ(CE_E_STORE_DAMAGED, store.getNextSeqNo(category, &n));
    EXPECT_EQ(issued, n);
    EXPECT_EQ(CE_E_STORE_DAMAGED, store.getSeqNo(category, &untouched));
    EXPECT_EQ(7u, untouched);
    EXPECT_EQ(CE_E_STORE_DAMAGED, store.setSeqNo(category, 1));
    EXPECT_EQ(CE_E_STORE_DAMAGED, store.useCategory(category));
    CCategorySeqNo::CSeqNoInfo* record = nullptr;
    EXPECT_EQ(CE_E_STORE_DAMAGED, store.acquireSeqNoInfo(category, &record));
    ASSERT_NE(nullptr, record);
    store.releaseSeqNoInfo(record);

    const std::string line = "(Error) CPSharedMemory " + platform::osObjectName("Share-SeqNoInfo-" + category) +
                             " was cut short to " + std::to_string(size) + " bytes by another process; refused";
    EXPECT_EQ(1u, occurrences(libraryLog(), line)) << libraryLog();
  }
  // The lock's block cut short: the lock is refused the same way.
  unsigned long long n = 0;
  ASSERT_EQ(0, store.getNextSeqNo("cutlock", &n));
  ASSERT_TRUE(cutShort("Mutex-SeqNoInfo-cutlock", 0));
  EXPECT_EQ(CE_E_STORE_DAMAGED, store.getNextSeqNo("cutlock", &n));
  EXPECT_EQ(CE_E_STORE_DAMAGED, store.getSeqNo("cutlock", &n));
  EXPECT_EQ(1u, occurrences(libraryLog(), "(Error) CPMutex Mutex-SeqNoInfo-cutlock: its block was cut short"))
      << libraryLog();

  EXPECT_EQ(0, store.getNextSeqNo("intact", &n));
  EXPECT_EQ(store.getSeqNoBase() + 1, n);
}

// The base and the list of all categories cut short: numbers that need the base, the list's reads and additions
// are refused; a category already numbered goes on from its own number.
TEST_F(StoreDamage, CutBaseAndListBlocksAreRefused) {
  CLibraryLog log;
  CCategorySeqNo store;
  unsigned long long n = 0, first = 0;
  ASSERT_EQ(0, store.getNextSeqNo("numbered", &first));
  ASSERT_TRUE(cutShort("Share-SeqNoInfo-" + std::string(CCategorySeqNo::kSeqNoBaseCategory), 0));
  ASSERT_TRUE(cutShort(CCategorySeqNo::kAllBlockName, 4));

  EXPECT_EQ(0u, store.getSeqNoBase());
  EXPECT_EQ(CE_E_STORE_DAMAGED, store.getNextSeqNo("fresh", &n));
  EXPECT_EQ(0, store.getNextSeqNo("numbered", &n));
  EXPECT_EQ(first + 1, n);
  std::string all = "untouched";
  EXPECT_EQ(CE_E_STORE_DAMAGED, store.getAllCategories(&all));
  EXPECT_EQ(CE_E_STORE_DAMAGED, store.useCategory("another"));
  const std::string text = libraryLog();
  EXPECT_NE(std::string::npos, text.find(platform::osObjectName(CCategorySeqNo::kAllBlockName) +
                                         " was cut short to 4 bytes by another process; refused"))
      << text;
  EXPECT_NE(std::string::npos, text.find(platform::osObjectName(std::string("Share-SeqNoInfo-") +
                                                                CCategorySeqNo::kSeqNoBaseCategory) +
                                         " was cut short to 0 bytes"))
      << text;
}

// A host's deliverEvent on a category whose block was cut short returns CE_E_STORE_DAMAGED instead of dying, and
// the host's other categories are still sent.
TEST_F(EngineTest, DeliverEventOnACutBlockReturnsAnError) {
#ifdef __SANITIZE_THREAD__
  GTEST_SKIP() << "ThreadSanitizer takes SIGBUS for itself";
#endif
  auto client = connectedClient();
  ASSERT_EQ(0, client->deliverEvent("cut", "", "before"));
  ASSERT_TRUE(cutShort("Share-SeqNoInfo-cut", 0));
  EXPECT_EQ(CE_E_STORE_DAMAGED, client->deliverEvent("cut", "", "after"));
  EXPECT_EQ(CE_E_STORE_DAMAGED, client->deliverEvent("cut", "", "again"));
  EXPECT_EQ(0, client->deliverEvent("other", "", "fine"));
  const std::string batch = flushed(*client, 5);
  EXPECT_NE(std::string::npos, batch.find("before"));
  EXPECT_EQ(std::string::npos, batch.find("after"));
  EXPECT_NE(std::string::npos, batch.find("fine"));
  EXPECT_EQ(1u, occurrences(logText(), "Share-SeqNoInfo-cut was cut short to 0 bytes by another process; refused"));
}

// A fault that is not in a guarded access of the store goes where it went without the guard: to the host's own
// handler (installed before the library's), else to the default action; a guarded one never reaches either.
TEST_F(StoreDamage, OtherFaultsReachTheHostsHandlerOrKillAsBefore) {
  EXPECT_EQ(42, waitExit(spawn({EVT_BUS_FAULT_HELPER, "host"}, ownEmulator())));
#ifdef __SANITIZE_ADDRESS__
  constexpr int kDefaultEnd = 128 + SIGABRT;  // AddressSanitizer reports the fault, then aborts
#else
  constexpr int kDefaultEnd = 128 + SIGBUS;
#endif
  EXPECT_EQ(kDefaultEnd, waitExit(spawn({EVT_BUS_FAULT_HELPER, "default"}, ownEmulator())));
}

}  // namespace
}  // namespace evt::test
