// The machine-wide sequence-number store, in one process and across processes of both ABIs.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Library/CEResultCodes.h"
#include "Service/CategorySeqNo.h"
#include "platform/CPortable.h"
#include "platform/linux/ObjectNames.h"
#include "tests/support/TestEnvironment.h"
#include "trace/KelException.h"
#include "trace/_Trace.h"

using namespace evt::test;

namespace {

using SeqNoStore = OwnObjectPrefix;

// The next number of `category`, failing the test unless it comes within `bound`.
unsigned long long nextWithin(std::chrono::milliseconds bound, CCategorySeqNo& store, const std::string& category) {
  return finishesWithin(bound, [&] {
    unsigned long long n = 0;
    store.getNextSeqNo(category, &n);
    return n;
  });
}

}  // namespace

TEST_F(SeqNoStore, OneSeriesPerCategoryFromTheBase) {
  CCategorySeqNo store;
  unsigned long long base = store.getSeqNoBase();
  EXPECT_GT(base, 130000000000000000ull);  // a file time after 2012
  unsigned long long n = 0;
  EXPECT_EQ(0, store.getNextSeqNo("a", &n));
  EXPECT_EQ(base + 1, n);
  store.getNextSeqNo("a", &n);
  EXPECT_EQ(base + 2, n);

  CCategorySeqNo other;
  EXPECT_EQ(base, other.getSeqNoBase());
  other.getNextSeqNo("a", &n);
  EXPECT_EQ(base + 3, n);

  EXPECT_EQ(0, store.setSeqNo("b", 100));
  other.getNextSeqNo("b", &n);
  EXPECT_EQ(101u, n);
  store.setSeqNo("b", 0);
  store.getNextSeqNo("b", &n);
  EXPECT_EQ(base + 1, n);

  unsigned long long c = 55;
  EXPECT_EQ(0, store.getSeqNo("c", &c));
  EXPECT_EQ(0u, c);
  EXPECT_EQ(0, store.useCategory("a"));
  EXPECT_EQ(0, other.useCategory("d"));
  std::string all;
  EXPECT_EQ(0, store.getAllCategories(&all));
  EXPECT_EQ("1;a;1;b;1;c;1;d", all);

  // An empty name touches nothing and cannot crash.
  unsigned long long untouched = 0;
  for (long result : {store.getNextSeqNo("", &untouched), store.setSeqNo("", 9), store.getSeqNo("", &untouched),
                      store.useCategory("")})
    EXPECT_EQ(0, result);
  EXPECT_EQ(0u, untouched);
}

// Categories unsafe as system names, or equal up to a NUL, a cut, an escape
// or the letter case, map to safe names of their own and get their own series.
TEST_F(SeqNoStore, HostileNamesAreDistinctAndSafe) {
  CCategorySeqNo store;
  unsigned long long base = store.getSeqNoBase();
  const std::string names[] = {"plain", "a/b", "../../etc/x", "..", ".", std::string(300, 'c'),
                               std::string(300, 'c') + "d", std::string(299, 'c'), std::string(150, '/'),
                               std::string("a\0b", 3), std::string("a\0c", 3), "%41", "A", "caf\xc3\xa9", "~",
                               "%7E", "$this$seqnobase$x"};
  std::set<std::string> seen;
  for (const auto& name : names) {
    const std::string system = evt::platform::osObjectName("Share-SeqNoInfo-" + name);
    // '/' and at most 254 characters of a safe set, never "." or "..".
    const char* safe = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-%~";
    EXPECT_TRUE(system.size() >= 2 && system.size() <= 255 && system[0] == '/' &&
                system.find_first_not_of(safe, 1) == std::string::npos && system != "/." && system != "/..")
        << system;
    EXPECT_TRUE(seen.insert(system).second) << "collision for " << system;
    unsigned long long n = 0;
    store.getNextSeqNo(name, &n);  // CE_E_CREATE once the list of names is full
    EXPECT_EQ(base + 1, n) << name;
  }
}

// A full list refuses new names with CE_E_CREATE, while the number is still issued and the record released.
TEST_F(SeqNoStore, FullListStillIssuesNumbers) {
  CCategorySeqNo store;
  unsigned long long base = store.getSeqNoBase();
  long result = 0;
  for (int i = 0; result == 0; ++i) result = store.useCategory("filler-category-" + std::to_string(i));
  EXPECT_EQ(CE_E_CREATE, result);
  std::string all;
  store.getAllCategories(&all);
  EXPECT_LE(all.size(), 1023u);

  unsigned long long n = 0;
  EXPECT_EQ(CE_E_CREATE, store.getNextSeqNo("late", &n));
  EXPECT_EQ(base + 1, n);
  // The record was released: another store (same named mutex) gets it at once.
  CCategorySeqNo other;
  EXPECT_EQ(base + 2, nextWithin(std::chrono::seconds(5), other, "late"));
}

// Four processes, of both ABIs when built, share one series: every number from base + 1 on is issued once.
TEST_F(SeqNoStore, ProcessesShareOneSeries) {
  constexpr long kPerProcess = 100000;
  std::vector<pid_t> children;
  auto file = [](int i) { return logDirectory() + "/numbers." + std::to_string(i); };
  for (int i = 0; i < 4; ++i) {
    bool peer = i % 2 == 1 && !peerHelperPath().empty();
    children.push_back(spawn({peer ? peerHelperPath() : ownHelperPath(), "nextseq", "shared",
                              std::to_string(kPerProcess), file(i)},
                             peer ? peerEmulator() : ownEmulator()));
  }
  for (pid_t child : children) EXPECT_EQ(0, waitExit(child));
  std::vector<unsigned long long> all;
  for (int i = 0; i < 4; ++i) {
    const std::string bytes = readFile(file(i));
    std::vector<unsigned long long> numbers(bytes.size() / sizeof(unsigned long long));
    std::memcpy(numbers.data(), bytes.data(), numbers.size() * sizeof(unsigned long long));
    EXPECT_EQ(static_cast<std::size_t>(kPerProcess), numbers.size());
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
    all.insert(all.end(), numbers.begin(), numbers.end());
  }
  std::sort(all.begin(), all.end());
  CCategorySeqNo store;
  unsigned long long base = store.getSeqNoBase();
  ASSERT_EQ(static_cast<std::size_t>(4 * kPerProcess), all.size());
  for (std::size_t k = 0; k < all.size(); ++k) ASSERT_EQ(base + 1 + k, all[k]) << "at " << k;
}

// A process dying with a record held, or while creating the base, stops nobody: the next takes over, seeding it.
TEST_F(SeqNoStore, SurvivesProcessesDyingInside) {
  EXPECT_EQ(128 + 9, waitExit(spawn({ownHelperPath(), "dieinit", "$this$seqnobase$"}, ownEmulator())));
  CCategorySeqNo store;
  unsigned long long base = store.getSeqNoBase();
  EXPECT_GT(base, 0u);

  unsigned long long n = 0;
  store.getNextSeqNo("held", &n);
  EXPECT_EQ(128 + 9, waitExit(spawn({ownHelperPath(), "diehold", "held"}, ownEmulator())));
  EXPECT_EQ(base + 2, nextWithin(std::chrono::seconds(10), store, "held"));
}

// A static client that numbered an event of a long category from the main thread ends cleanly when main returns
// (its store is destroyed after the main thread's own storage; ASan builds catch a write into it).
TEST_F(SeqNoStore, StaticClientEndsCleanlyAfterMainReturns) {
  const std::string category(40, 'c');
  EXPECT_EQ(0, waitExit(spawn({ownHelperPath(), "static", category}, ownEmulator())));
}

// A lock word forged to name a live process (pid 1) with a start time that is not its own, 0 included, holds
// nothing: the lock is taken over at once, also by a process of another user, to whom pid 1 is not signalable. A
// live holder that keeps the lock (this very process, stamped rightly) stops nobody for good: opening the store
// fails after a few seconds with CE_E_STORE_BUSY, logged, instead of hanging.
TEST_F(SeqNoStore, ForgedLockOwnerIsTakenOverAndAStuckOneFailsWithinSeconds) {
  const uint32_t ownStart = processStartTime(getpid());
  ASSERT_NE(ownStart, 0u);

  CPSharedMemory lock("Mutex-AllSeqNoInfo", 16);
  auto* words = static_cast<volatile uint32_t*>(lock.getAddress());
  for (uint32_t forgedStart : {0u, 12345u}) {
    words[0] = 1, words[1] = forgedStart;
    finishesWithin(std::chrono::seconds(2), [&] { EXPECT_NO_THROW(CCategorySeqNo store); });
    EXPECT_EQ(words[0], 0u) << "released after the takeover";
  }

  // Another user: kill(1, 0) is refused to it, /proc still tells.
  if (geteuid() == 0) {
    const std::string prefix = m_saved + "ForgedLockOtherUser.";
    setenv("EVT_SHM_PREFIX", prefix.c_str(), 1);
    setenv("EVT_GROUP", "daemon", 1);  // uid 1 is in group daemon
    const std::string numbers = logDirectory() + "/other-user";
    {
      CCategorySeqNo store;
      ASSERT_EQ(0, store.useCategory("forged"));
      CPSharedMemory recordLock("Mutex-SeqNoInfo-forged", 16);
      auto* record = static_cast<volatile uint32_t*>(recordLock.getAddress());
      record[0] = 1, record[1] = 12345;
      chmod(logDirectory().c_str(), 0777);
      const pid_t child = spawn({ownHelperPath(), "nextseq", "forged", "1", numbers}, ownEmulator(), "", "", "", 1);
      const int status = exitWithin(child, std::chrono::milliseconds(3000));
      if (status != 126 && status != 127) {
        EXPECT_EQ(0, status) << "not taken over in time";
      }
    }
    unsetenv("EVT_GROUP");
    setenv("EVT_SHM_PREFIX", testPrefix().c_str(), 1);
  }

  words[0] = static_cast<uint32_t>(getpid()), words[1] = ownStart;
  long code = 0;
  finishesWithin(std::chrono::seconds(30), [&] {
    CLibraryLog log;
    try {
      CCategorySeqNo store;
    } catch (const KelException& e) {
      code = e.code();
    }
  });
  EXPECT_EQ(CE_E_STORE_BUSY, code);
  const std::string log = readFile(logDirectory() + "/evt.log");
  EXPECT_NE(std::string::npos, log.find("Mutex-AllSeqNoInfo stayed held"));
  words[0] = 0;
}

// A number rewound or set at the end of the series by someone is refused, never issued again.
TEST_F(SeqNoStore, RewoundOrExhaustedNumbersAreRefused) {
  CCategorySeqNo store;
  unsigned long long first = 0, second = 0, next = 0;
  ASSERT_EQ(0, store.getNextSeqNo("cat", &first));
  ASSERT_EQ(0, store.getNextSeqNo("cat", &second));
  CPSharedMemory record("Share-SeqNoInfo-cat", 8);
  *static_cast<volatile uint64_t*>(record.getAddress()) = first - 1;
  EXPECT_EQ(CE_E_STORE_DAMAGED, store.getNextSeqNo("cat", &next));
  *static_cast<volatile uint64_t*>(record.getAddress()) = ~0ull;
  EXPECT_EQ(CE_E_STORE_DAMAGED, store.getNextSeqNo("cat", &next));
  *static_cast<volatile uint64_t*>(record.getAddress()) = second;
  EXPECT_EQ(0, store.getNextSeqNo("cat", &next));
  EXPECT_EQ(second + 1, next);
}
