// The shared store under attack. An input interleaves what a hostile local user may do to the store's named
// objects (write bytes into a block or a lock word, cut or extend an object, change its mode or owner, remove it,
// put another object or a FIFO, a directory or a symlink in its place) with the library's use of the store and
// eventd's lock-free reading of numbers. Whatever the objects hold:
//  - every operation returns, with a result code or a KelException: never a signal, never a lock wait that does
//    not end (a watchdog aborts an input that runs for seconds), never CE_E_STORE_BUSY, as no live holder exists;
//  - the numbers one store issues for a category only rise;
//  - a category whose objects were left alone goes on exactly from where it stood, whichever store numbers it and
//    whatever happened to the others, and eventd reads that very number; an untouched base is the same for all;
//  - an untouched list names every category used, and nothing but the input's categories;
//  - nothing is left in /dev/shm after an input.
// Lock words are never forged to name a live holder (a live process stamped with its own start time): the store
// waits such a holder out for seconds by design. Every other forged holder must be taken over; at most two per
// input, as each costs one liveness poll of the lock.
#define _FILE_OFFSET_BITS 64
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "Library/CEResultCodes.h"
#include "Service/CategorySeqNo.h"
#include "Utilities/CParamsX.h"
#include "eventd/StoreReader.h"
#include "platform/linux/AccessGroup.h"
#include "platform/linux/ObjectNames.h"
#include "trace/KelException.h"

namespace {

// An attack that fails is no attack: its result is of no interest.
void attempt(long) {}

// Removes every object under this process's prefix: a failing input leaves nothing behind either.
void removeOwnObjects() {
  const std::string prefix = evt::platform::objectPrefix();
  DIR* dir = opendir("/dev/shm");
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) != 0) continue;
    const std::string path = std::string("/dev/shm/") + entry->d_name;
    if (unlink(path.c_str()) != 0 && errno == EISDIR) attempt(rmdir(path.c_str()));
  }
  closedir(dir);
}

[[noreturn]] void fail(const char* what, long detail = 0) {
  std::fprintf(stderr, "store_fuzz: %s (%ld)\n", what, detail);
  removeOwnObjects();
  std::abort();
}

// Categories the input uses; the last is the base's own record, which is no category.
const std::string kCategories[] = {"a", "b c/\xc3\xa9", std::string(300, 'l'), CCategorySeqNo::kSeqNoBaseCategory};
constexpr int kCategoryCount = 3;
constexpr int kBase = 3;

// The store's objects, with the size the store gives each. Lock objects hold the lock word first.
struct Object {
  std::string logical;
  unsigned long size;
  bool lock;
  int group;  // kList, kBase or a category
};
constexpr int kList = -1;
std::vector<Object> objects() {
  std::vector<Object> all = {{CCategorySeqNo::kAllBlockName, 1024, false, kList},
                             {"Mutex-AllSeqNoInfo", 16, true, kList}};
  for (int c = 0; c <= kBase; ++c) {
    all.push_back({CCategorySeqNo::kRecordBlockPrefix + kCategories[c], 8, false, c});
    all.push_back({"Mutex-SeqNoInfo-" + kCategories[c], 16, true, c});
  }
  return all;
}

std::string pathOf(const Object& object) { return "/dev/shm" + evt::platform::osObjectName(object.logical); }

class Input {
 public:
  Input(const uint8_t* data, size_t size) : m_data(data), m_left(size) {}
  bool empty() const { return m_left == 0; }
  uint8_t byte() {
    if (m_left == 0) return 0;
    --m_left;
    return *m_data++;
  }
  uint64_t u64() {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value |= static_cast<uint64_t>(byte()) << (8 * i);
    return value;
  }

 private:
  const uint8_t* m_data;
  size_t m_left;
};

// Sizes an attack cuts or extends an object to, or creates one with.
constexpr off_t kSizes[] = {0, 1, 4, 7, 8, 12, 15, 16, 20, 512, 1023, 1024, 1025, 1028, 4095, 4096, 4097, 8192};

// The start time of a live process or thread `pid` as /proc tells it (0: not told); nothing when none lives.
std::optional<uint32_t> liveStart(uint32_t pid) {
  if (pid == 0 || pid > static_cast<uint32_t>(INT_MAX)) return std::nullopt;
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return std::nullopt;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%u/stat", pid);
  FILE* file = std::fopen(path, "re");
  if (file == nullptr) return 0u;
  char text[1024];
  const size_t n = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  text[n] = '\0';
  const char* field = std::strrchr(text, ')');
  if (field == nullptr || field[1] != ' ') return 0u;
  if (field[2] == 'Z' || field[2] == 'X') return std::nullopt;
  for (int i = 0; i < 20 && field != nullptr; ++i) field = std::strchr(field + 1, ' ');
  return field == nullptr ? 0u : static_cast<uint32_t>(std::strtoull(field + 1, nullptr, 10));
}

class Run {
 public:
  ~Run() {
    for (auto& slot : m_slots) slot.store.reset();
    removeAll();
    leftOver();
  }

  // Each step reads its bytes in the order written here (never two reads in one expression, whose order the
  // compiler chooses), so that an input means the same in every build.
  void step(Input& in) {
    const uint8_t op = in.byte() % 14;
    if (op >= 1 && op <= 4) {
      Slot& s = slot(in);
      const int c = in.byte() % 4;
      if (op == 1) next(s, c);
      if (op == 2) set(s, c, value(in));
      if (op == 3) get(s, c);
      if (op == 4) use(s, c);
      return;
    }
    switch (op) {
      case 0: openStore(in.byte() % 3); break;
      case 5: list(slot(in)); break;
      case 6: readIssued(in.byte() % 4); break;
      case 7: {
        const int k = object(in);
        const uint8_t how = in.byte();
        unsigned long offset = how % 24;  // the lock word and the mark of a lock object
        if ((how & 1) != 0) {
          const unsigned long low = in.byte();
          offset = (low | static_cast<unsigned long>(in.byte()) << 8) % 4096;
        }
        uint8_t bytes[16];
        const unsigned long count = in.byte() % 16 + 1;
        for (unsigned long i = 0; i < count; ++i) bytes[i] = in.byte();
        poke(k, offset, bytes, count);
        break;
      }
      case 8: {
        // A whole lock word, its pid this process's own when asked (a pid no input can know beforehand).
        const int k = object(in);
        const bool own = (in.byte() & 1) != 0;
        uint8_t word[16];
        for (uint8_t& b : word) b = in.byte();
        const uint32_t self = static_cast<uint32_t>(getpid());
        if (own) std::memcpy(word, &self, sizeof self);
        poke(k, 0, word, sizeof word);
        break;
      }
      case 9: {
        const int k = object(in);
        resize(k, kSizes[in.byte() % (sizeof kSizes / sizeof kSizes[0])]);
        break;
      }
      case 10: {
        const int k = object(in);
        const uint8_t how = in.byte();
        changeMode(k, how);
        break;
      }
      case 11: removeObject(object(in)); break;
      case 12: {
        const int k = object(in);
        const uint8_t kind = in.byte();
        const off_t size = kSizes[in.byte() % (sizeof kSizes / sizeof kSizes[0])];
        recreate(k, kind, size, in.byte());
        break;
      }
      default: m_slots[in.byte() % 3].store.reset(); break;
    }
  }

  void start() { removeAll(); }

 private:
  struct Slot {
    std::unique_ptr<CCategorySeqNo> store;
    uint64_t issued[kBase + 1] = {};  // the last number this store issued for each category
  };

  Slot& slot(Input& in) { return m_slots[in.byte() % 3]; }
  int object(Input& in) { return in.byte() % static_cast<int>(m_objects.size()); }

  static unsigned long long value(Input& in) {
    const uint8_t kind = in.byte();
    switch (kind % 4) {
      case 0: return 0;
      case 1: return kind >> 2;
      case 2: return UINT64_MAX - (kind >> 2);
      default: return in.u64();
    }
  }

  bool untouched(int c) const { return !m_attacked.count(c); }
  bool listUntouched() const { return untouched(kList); }

  // A result of an operation on category `c`: a code the store may give in the state the input made.
  void expectResult(long result, int c) const {
    if (result == CE_E_STORE_BUSY) fail("a lock stayed held though nobody holds it");
    if (untouched(c)) {
      // Only the list may fail an operation on an intact record (the base's record is never listed).
      const bool listFailure =
          c != kBase && !listUntouched() && (result == CE_E_CREATE || result == CE_E_STORE_DAMAGED);
      if (result != 0 && !listFailure) fail("an intact record failed", result);
      return;
    }
    if (result != 0 && result != CE_E_CREATE && result != CE_E_STORE_DAMAGED && result != CE_E_ACCESS_DENIED)
      fail("an unexpected result", result);
  }

  void used(long result, int c) {
    if (c != kBase && (result == 0 || untouched(c))) m_used.insert(c);
  }

  void openStore(int index) {
    Slot& s = m_slots[index];
    s = Slot();
    long code = 0;
    try {
      s.store.reset(new CCategorySeqNo);
    } catch (const KelException& e) {
      code = e.code();
    }
    if (code == CE_E_STORE_BUSY) fail("opening the store waited out a lock nobody holds");
    if (code != 0) {
      if (listUntouched() && untouched(kBase)) fail("the store did not open though nothing was attacked", code);
      if (code != CE_E_CREATE && code != CE_E_STORE_DAMAGED && code != CE_E_ACCESS_DENIED)
        fail("opening the store failed with an unexpected code", code);
      return;
    }
    checkBase(s);
  }

  void checkBase(Slot& s) {
    if (!untouched(kBase)) {
      (void)s.store->getSeqNoBase();
      return;
    }
    const uint64_t base = s.store->getSeqNoBase();
    if (base == 0 || (m_base != 0 && base != m_base)) fail("stores disagree on an intact base");
    m_base = base;
  }

  void next(Slot& s, int c) {
    if (!s.store) return;
    unsigned long long n = 0;
    const long result = s.store->getNextSeqNo(kCategories[c], &n);
    if (c == kBase) {
      if (result != CE_E_INVALID_TEXT || n != 0) fail("the base was numbered like a category", result);
      return;
    }
    if (result == CE_E_STORE_BUSY) fail("a lock stayed held though nobody holds it");
    used(result, c);
    if (n != 0 && n <= s.issued[c]) fail("a store issued a number not above its last one");
    // An intact record stands at m_known[c]; at 0 its series starts from the base, when that is intact too.
    std::optional<uint64_t> last;
    if (untouched(c)) last = m_known[c];
    if (last == 0 && !untouched(kBase)) last.reset();
    if (last == 0) last = m_base;
    if (last && (*last == UINT64_MAX || *last < s.issued[c])) {
      // Rewound below what this store issued, or at the end of the series.
      if (n != 0 || result != CE_E_STORE_DAMAGED) fail("a rewound or exhausted number was not refused", result);
    } else if (last) {
      expectResult(result, c);
      if (n != *last + 1) fail("an intact record did not go on from its number");
    } else if (untouched(c) && n == 0) {
      // An intact record starting from an attacked base: only the base's damage may stop it.
      if (result != CE_E_STORE_DAMAGED) fail("an intact record issued no number, yet no damage told", result);
    } else {
      expectResult(result, c);
    }
    if (untouched(c) && n != 0) m_known[c] = n;
    if (n != 0) s.issued[c] = n;
  }

  void set(Slot& s, int c, unsigned long long value) {
    if (!s.store) return;
    const long result = s.store->setSeqNo(kCategories[c], value);
    if (c == kBase) {
      if (result != CE_E_INVALID_TEXT) fail("the base was set like a category", result);
      return;
    }
    expectResult(result, c);
    used(result, c);
    if (untouched(c)) m_known[c] = value;  // an intact record is written whatever the list says
  }

  void get(Slot& s, int c) {
    if (!s.store) return;
    unsigned long long n = 0x5A5A;
    const long result = s.store->getSeqNo(kCategories[c], &n);
    expectResult(result, c);
    used(result, c);
    if (c == kBase ? untouched(kBase) && n != m_base : untouched(c) && n != m_known[c])
      fail("an intact record read back another number");
  }

  void use(Slot& s, int c) {
    if (!s.store) return;
    const long result = s.store->useCategory(kCategories[c]);
    expectResult(result, c);
    used(result, c);
  }

  void list(Slot& s) {
    if (!s.store) return;
    std::string text = "untouched";
    const long result = s.store->getAllCategories(&text);
    if (result == CE_E_STORE_BUSY) fail("the list's lock stayed held though nobody holds it");
    if (!listUntouched()) {
      if (result != 0 && result != CE_E_STORE_DAMAGED) fail("reading an attacked list failed oddly", result);
      if (result == 0 && text.size() >= CCategorySeqNo::kAllCategoriesSize) fail("a list text ran past its block");
      return;
    }
    if (result != 0) fail("an intact list could not be read", result);
    CParamsX items(text);
    std::set<int> named;
    for (unsigned long i = 0; i < items.count(); ++i) {
      int found = -1;
      for (int c = 0; c < kCategoryCount; ++c)
        if (items.getstringParamAt(i) == kCategories[c]) found = c;
      if (found < 0 || !named.insert(found).second) fail("an intact list names something twice or unused");
    }
    for (int c : m_used)
      if (!named.count(c)) fail("an intact list lost a category in use");
  }

  void readIssued(int c) {
    const std::optional<unsigned long long> n = evt::service::readIssuedSeqNo(kCategories[c]);
    if (c != kBase && untouched(c) && n != m_known[c]) fail("eventd read another number than the intact record's");
  }

  // --- attacks ---

  void attacked(int k) { m_attacked.insert(m_objects[k].group); }

  // A descriptor on the object in place when it is a regular one, else -1.
  int openRegular(int k) const {
    const int fd = open(pathOf(m_objects[k]).c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
      close(fd);
      return -1;
    }
    return fd;
  }

  // Writes through a mapping of the first page where the object has one (so the bytes past its end there, where
  // the store keeps its mark, are reached too), else as a file (extending it).
  void poke(int k, unsigned long offset, const uint8_t* bytes, unsigned long count) {
    attacked(k);
    const uint64_t before = holdOf(k);
    const int fd = openRegular(k);
    if (fd < 0) return;
    struct stat info {};
    fstat(fd, &info);
    void* page = MAP_FAILED;
    if (info.st_size > 0 && offset + count <= 4096)
      page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (page != MAP_FAILED) {
      std::memcpy(static_cast<char*>(page) + offset, bytes, count);
      munmap(page, 4096);
    } else {
      attempt(pwrite(fd, bytes, count, static_cast<off_t>(offset)));
    }
    close(fd);
    disarm(k, before);
  }

  void resize(int k, off_t size) {
    attacked(k);
    const uint64_t before = holdOf(k);
    const int fd = openRegular(k);
    if (fd < 0) return;
    attempt(ftruncate(fd, size));
    close(fd);
    disarm(k, before);
  }

  // Mode bits from the low bits of `how`, and from the high ones (as root) another owner or group: user 1, a
  // member of the access group (daemon), user 2, who is not, root; group root, or the access group again.
  void changeMode(int k, uint8_t how) {
    static constexpr mode_t kModes[] = {0600, 0640, 0660, 0000, 0604, 0606, 0666, 0777};
    static constexpr int kOwners[][2] = {{-1, -1}, {-1, -1}, {1, -1}, {2, -1}, {0, -1}, {-1, 0}, {-1, 1}, {2, 2}};
    attacked(k);
    const int fd = openRegular(k);
    if (fd < 0) return;
    attempt(fchmod(fd, kModes[how % 8]));
    const int* owner = kOwners[how >> 5];
    if (geteuid() == 0 && (owner[0] >= 0 || owner[1] >= 0))
      attempt(fchown(fd, static_cast<uid_t>(owner[0]), static_cast<gid_t>(owner[1])));
    close(fd);
  }

  void removeObject(int k) {
    attacked(k);
    const std::string path = pathOf(m_objects[k]);
    if (unlink(path.c_str()) != 0 && errno == EISDIR) rmdir(path.c_str());
  }

  // Puts in the object's place: a regular object of `size` bytes of `fill`, a FIFO, a directory, or a symlink to
  // the next object.
  void recreate(int k, uint8_t kind, off_t size, uint8_t fill) {
    removeObject(k);
    const std::string path = pathOf(m_objects[k]);
    switch (kind % 4) {
      case 0: {
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0660);
        if (fd < 0) return;
        attempt(fchmod(fd, 0660));
        char bytes[4096];
        std::memset(bytes, fill, sizeof bytes);
        for (off_t at = 0; at < size;) {
          const ssize_t n = pwrite(fd, bytes, std::min<off_t>(size - at, sizeof bytes), at);
          if (n <= 0) break;
          at += n;
        }
        close(fd);
        disarm(k, 0);
        break;
      }
      case 1: attempt(mkfifo(path.c_str(), 0660)); break;
      case 2: attempt(mkdir(path.c_str(), 0770)); break;
      default: attempt(symlink(pathOf(m_objects[(k + 1) % m_objects.size()]).c_str(), path.c_str())); break;
    }
  }

  // The lock word of object `k`, when it is a lock in place with a page: pid, then its start time.
  class LockWord {
   public:
    explicit LockWord(const Object& object) {
      if (!object.lock) return;
      const int fd = open(pathOf(object).c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) return;
      struct stat info {};
      if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (page != MAP_FAILED) m_word = static_cast<volatile uint32_t*>(page);
      }
      close(fd);
    }
    ~LockWord() {
      if (m_word != nullptr) munmap(const_cast<uint32_t*>(m_word), 4096);
    }
    LockWord(const LockWord&) = delete;
    LockWord& operator=(const LockWord&) = delete;
    volatile uint32_t* word() const { return m_word; }
    uint64_t hold() const { return m_word == nullptr ? 0 : static_cast<uint64_t>(m_word[1]) << 32 | m_word[0]; }

   private:
    volatile uint32_t* m_word = nullptr;
  };

  uint64_t holdOf(int k) const { return LockWord(m_objects[k]).hold(); }

  // A lock word an attack left naming a live holder is made one that names none (see the top); a holder forged
  // past the input's allowance frees the lock instead.
  void disarm(int k, uint64_t before) {
    LockWord lock(m_objects[k]);
    volatile uint32_t* word = lock.word();
    if (word == nullptr || word[0] == 0) return;  // free, or a stamp without a pid: to be taken at once
    if (lock.hold() != before) {
      if (m_forgedLeft == 0) {
        word[0] = 0, word[1] = 0;
        return;
      }
      --m_forgedLeft;
    }
    const std::optional<uint32_t> start = liveStart(word[0]);
    if (start && *start == 0) word[0] = INT_MAX;  // live, /proc tells no start: a pid no process can have
    if (start && *start != 0 && *start == word[1]) word[1] = *start + 1;
  }

  void removeAll() {
    for (const Object& object : m_objects) {
      const std::string path = pathOf(object);
      if (unlink(path.c_str()) != 0 && errno == EISDIR) rmdir(path.c_str());
    }
  }

  // Nothing of the store is left once its objects are removed.
  static void leftOver() {
    const std::string prefix = evt::platform::objectPrefix();
    DIR* dir = opendir("/dev/shm");
    if (dir == nullptr) return;
    std::string found;
    while (dirent* entry = readdir(dir))
      if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) found = entry->d_name;
    closedir(dir);
    if (!found.empty()) {
      std::fprintf(stderr, "store_fuzz: left in /dev/shm: %s\n", found.c_str());
      removeOwnObjects();
      std::abort();
    }
  }

  const std::vector<Object> m_objects = objects();
  Slot m_slots[3];
  std::set<int> m_attacked;          // groups (kList, a category, kBase) whose objects an attack touched
  std::set<int> m_used;              // categories the store has opened
  uint64_t m_known[kCategoryCount] = {};  // an untouched record's number
  uint64_t m_base = 0;               // an untouched base
  int m_forgedLeft = 2;
};

// Aborts an input that runs this long: a lock wait or an open that does not end.
constexpr long long kInputBoundMs = 3000;
std::atomic<long long> g_inputStart{0};

long long nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void startOnce() {
  static const bool started = [] {
    // A prefix of this process's own: parallel fuzzing processes never meet, and the check for objects left over
    // sees only this one's.
    const char* outer = std::getenv(evt::platform::kObjectPrefixEnv);
    const std::string prefix =
        std::string(outer != nullptr ? outer : "evtfuzz.") + "store" + std::to_string(getpid()) + ".";
    setenv(evt::platform::kObjectPrefixEnv, prefix.c_str(), 1);
    // Objects of the store belong to an access group, as where the service is installed; one every Debian system
    // has, so that its lookups stay in /etc/group.
    setenv(evt::platform::kAccessGroupEnv, "daemon", 1);
    std::thread([] {
      for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const long long since = g_inputStart.load();
        if (since != 0 && nowMs() - since > kInputBoundMs) fail("an input ran for seconds", nowMs() - since);
      }
    }).detach();
    return true;
  }();
  (void)started;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  startOnce();
  g_inputStart.store(nowMs());
  {
    Input in(data, size);
    Run run;
    run.start();
    for (int steps = 0; steps < 64 && !in.empty(); ++steps) run.step(in);
  }
  g_inputStart.store(0);
  return 0;
}
