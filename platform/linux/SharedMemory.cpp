// CPSharedMemory on POSIX shared memory (shm_open + mmap), and the SIGBUS
// guard of its accesses (platform/linux/BusGuard.h).
//
// Past the block's end, in the rest of its last page, each object carries a
// 32-bit mark chosen by its first opener. Bytes there are shared by every
// mapping of the page but are no part of the object's size. Cutting the
// object short zeroes its last page from the new end on, or drops the page
// altogether (then an access raises SIGBUS), so a mark that no longer reads
// as the one found at open tells that the object was cut short, even by a
// cut that leaves the accessed bytes mapped. The check is one load beside
// the data; no system call.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "Library/CEResultCodes.h"
#include "platform/CPortable.h"
#include "platform/linux/AccessGroup.h"
#include "platform/linux/BusGuard.h"
#include "platform/linux/ObjectNames.h"
#include "trace/KelException.h"
#include "trace/_Trace.h"

namespace evt::platform {

thread_local BusGuardFrame* t_busGuardFrame __attribute__((tls_model("initial-exec"))) = nullptr;

namespace {

struct sigaction g_previousBusAction;

// A fault raised while this thread is inside a guarded access jumps back to
// the innermost one; anything else, a signal sent by another process among
// it, goes where it would have gone without the guard.
void onBusSignal(int signal, siginfo_t* info, void* context) {
  BusGuardFrame* frame = t_busGuardFrame;
  const bool fromKernel = info != nullptr && info->si_code > 0;
  if (frame != nullptr && fromKernel) {
    t_busGuardFrame = frame->outer;
    siglongjmp(frame->jump, 1);
  }
  const struct sigaction& previous = g_previousBusAction;
  if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
    previous.sa_sigaction(signal, info, context);
    return;
  }
  if (previous.sa_handler == SIG_IGN && !fromKernel) return;
  if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
    return;
  }
  // The default action: a fault happens again when this returns, with the
  // true context for a core dump; a signal sent by someone is sent again.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(SIGBUS, &fallback, nullptr);
  if (!fromKernel) raise(SIGBUS);
}

}  // namespace

void installBusGuard() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction action {};
    action.sa_sigaction = onBusSignal;
    // SIGBUS stays unblocked in the handler, so the jump out of it leaves the
    // mask as it was without saving it at every guarded access.
    action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &g_previousBusAction);
  });
}

}  // namespace evt::platform

namespace {

// Every object's mark sits 8-byte aligned after the block, where the block's
// last page has room.
constexpr unsigned long kMarkSize = sizeof(uint32_t);

unsigned long markOffsetFor(unsigned long size) {
  const unsigned long page = static_cast<unsigned long>(sysconf(_SC_PAGESIZE));
  const unsigned long offset = (size + 7) / 8 * 8;
  return offset % page != 0 && offset % page + kMarkSize <= page ? offset : 0;
}

// A mark no other object is likely to carry; never 0, which a cut leaves.
uint32_t freshMark(const void* address) {
  timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  uint64_t mixed = static_cast<uint64_t>(now.tv_nsec) ^ static_cast<uint64_t>(now.tv_sec) << 20 ^
                   static_cast<uint64_t>(getpid()) << 40 ^ reinterpret_cast<uintptr_t>(address);
  mixed *= 0x9E3779B97F4A7C15ull;
  const uint32_t mark = static_cast<uint32_t>(mixed >> 32);
  return mark != 0 ? mark : 1;
}

// Whether `uid` is a member of group `gid`, by its primary group or the
// group's member list.
bool userInGroup(uid_t uid, gid_t gid) {
  std::vector<char> buffer(16384);
  passwd user {};
  passwd* foundUser = nullptr;
  if (getpwuid_r(uid, &user, buffer.data(), buffer.size(), &foundUser) != 0 || foundUser == nullptr) return false;
  if (user.pw_gid == gid) return true;
  const std::string name = user.pw_name;
  group entry {};
  group* foundGroup = nullptr;
  int error = 0;
  while ((error = getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &foundGroup)) == ERANGE &&
         buffer.size() < (std::size_t{1} << 24)) {
    buffer.resize(buffer.size() * 4);
  }
  if (error != 0 || foundGroup == nullptr) return false;
  for (char** member = entry.gr_mem; member != nullptr && *member != nullptr; ++member)
    if (name == *member) return true;
  return false;
}

// Why an object found in place is not to be trusted, empty when it is: one
// that anyone may use, or that someone outside the store's users made (and
// so may read, forge and truncate whatever its mode says), would let them
// into the store.
std::string distrust(const struct stat& info) {
  char reason[256];
  const gid_t group = evt::platform::accessGroupId();
  const std::string groupName = evt::platform::accessGroupName();
  if ((info.st_mode & 0007) != 0) {
    std::snprintf(reason, sizeof reason, "its mode %04o lets every user in",
                  static_cast<unsigned>(info.st_mode & 07777));
    return reason;
  }
  const uid_t self = geteuid();
  if (info.st_uid != 0 && info.st_uid != self &&
      (group == static_cast<gid_t>(-1) || !userInGroup(info.st_uid, group))) {
    std::snprintf(reason, sizeof reason, "its owner, uid %u, is neither root, this user (uid %u)%s%s",
                  static_cast<unsigned>(info.st_uid), static_cast<unsigned>(self),
                  group == static_cast<gid_t>(-1) ? "" : " nor a member of group ",
                  group == static_cast<gid_t>(-1) ? "" : groupName.c_str());
    return reason;
  }
  if (group != static_cast<gid_t>(-1) && info.st_gid != group) {
    std::snprintf(reason, sizeof reason, "its group, gid %u, is not the store's group %s (gid %u)",
                  static_cast<unsigned>(info.st_gid), groupName.c_str(), static_cast<unsigned>(group));
    return reason;
  }
  return std::string();
}

// The group the store admits: the one owning the object, else the one it
// would have been given.
std::string storeGroup(const std::string& osName) {
  const std::string owner = evt::platform::groupOwning("/dev/shm" + osName);
  return owner.empty() ? evt::platform::accessGroupName() : owner;
}

[[noreturn]] void failOpen(const char* step, const std::string& osName, int error) {
  if (error == EACCES) {
    evtLog(KelLogLib::LOGLIB_PRIORITY_ERROR,
           "(Error) CPSharedMemory::CPSharedMemory %s %s: permission denied; the store admits the members of "
           "group %s",
           step, osName.c_str(), storeGroup(osName).c_str());
    KEL_THROW(CE_E_ACCESS_DENIED);
  }
  evtLog(KelLogLib::LOGLIB_PRIORITY_ERROR, "(Error) CPSharedMemory::CPSharedMemory %s %s: %s", step,
         osName.c_str(), std::strerror(error));
  KEL_THROW(CE_E_CREATE);
}

// Opens the object, creating it when absent. Exactly one opener creates it
// (O_EXCL); an object removed between the two opens is simply created again.
int openOrCreate(const std::string& osName, int* created) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    int fd = shm_open(osName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
    if (fd >= 0) {
      // Shared with the access group's members, whatever the umask; one
      // that cannot be given to them is not left in their way.
      if (!evt::platform::shareWithAccessGroup(fd, 0660)) {
        const int error = errno;
        close(fd);
        shm_unlink(osName.c_str());
        errno = error;
        return -1;
      }
      *created = 1;
      return fd;
    }
    if (errno != EEXIST) return -1;
    fd = shm_open(osName.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd >= 0) {
      *created = 0;
      return fd;
    }
    if (errno != ENOENT) return -1;
  }
  errno = EAGAIN;
  return -1;
}

}  // namespace

CPSharedMemory::CPSharedMemory(const std::string& name, unsigned long size)
    : m_ulSize(size), m_strOsName(evt::platform::osObjectName(name)) {
  evt::platform::installBusGuard();
  const std::string& osName = m_strOsName;
  if (size == 0) failOpen("size", osName, EINVAL);
  int fd = openOrCreate(osName, &m_bCreator);
  if (fd < 0) failOpen("open", osName, errno);

  // Whoever finds the object empty sizes it: usually the creator, but also a
  // later opener when the creator died before doing so. The space is
  // reserved, not just announced, so a full /dev/shm fails here instead of
  // raising SIGBUS at the first access. An object neither empty nor whole
  // was cut short by someone else (or is another version's): its contents
  // cannot be trusted, and mapping past its end would raise SIGBUS.
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    int error = errno;
    close(fd);
    failOpen("stat", osName, error);
  }
  m_ullDevice = static_cast<unsigned long long>(info.st_dev);
  m_ullInode = static_cast<unsigned long long>(info.st_ino);
  if (m_bCreator == 0) {
    const std::string reason = distrust(info);
    if (!reason.empty()) {
      close(fd);
      evtLog(KelLogLib::LOGLIB_PRIORITY_ERROR,
             "(Error) CPSharedMemory::CPSharedMemory %s is not to be trusted: %s; refused (remove it to start "
             "afresh)",
             osName.c_str(), reason.c_str());
      KEL_THROW(CE_E_CREATE);
    }
  }
  const unsigned long long found = static_cast<unsigned long long>(info.st_size);
  if (found > 0 && found < size) {
    close(fd);
    evtLog(KelLogLib::LOGLIB_PRIORITY_ERROR,
           "(Error) CPSharedMemory::CPSharedMemory %s is %llu bytes, shorter than the %lu it needs: damaged or "
           "left by another version; remove it to start afresh",
           osName.c_str(), found, size);
    KEL_THROW(CE_E_CREATE);
  }
  if (found == 0) {
    int error = posix_fallocate(fd, 0, static_cast<off_t>(size));
    if (error != 0) {
      close(fd);
      failOpen("size", osName, error);
    }
  }
  // An object larger than this opener's block (another version's) has data
  // where the mark would go: it is left unmarked.
  m_ulMarkOffset = found <= markOffsetFor(size) ? markOffsetFor(size) : 0;
  m_ulMapped = m_ulMarkOffset != 0 ? m_ulMarkOffset + kMarkSize : size;
  void* address = mmap(nullptr, m_ulMapped, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  int error = errno;
  close(fd);
  if (address == MAP_FAILED) failOpen("map", osName, error);
  m_pAddress = address;
  if (m_ulMarkOffset == 0) return;

  // The first opener of the object marks it; later ones learn its mark. A
  // cut between the size check above and here is refused like a short one.
  auto* mark = reinterpret_cast<uint32_t*>(static_cast<char*>(address) + m_ulMarkOffset);
  const uint32_t fresh = freshMark(address);
  uint32_t current = 0;
  const bool survived = evt::platform::guardedAccess([&] {
    uint32_t expected = 0;
    current = __atomic_compare_exchange_n(mark, &expected, fresh, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)
                  ? fresh
                  : expected;
  });
  if (!survived) {
    munmap(address, m_ulMapped);
    m_pAddress = nullptr;
    evtLog(KelLogLib::LOGLIB_PRIORITY_ERROR,
           "(Error) CPSharedMemory::CPSharedMemory %s was cut short by another process while being opened; refused",
           osName.c_str());
    KEL_THROW(CE_E_CREATE);
  }
  m_dwMark = current;
}

CPSharedMemory::~CPSharedMemory() {
  if (m_pAddress != nullptr) munmap(m_pAddress, m_ulMapped);
}

void* CPSharedMemory::getAddress() { return m_pAddress; }

int CPSharedMemory::isCreator() { return m_bCreator; }

namespace {

// One access to shared bytes: an aligned 8-byte value in one load or store,
// anything else byte by byte (the list block, off every event's path).
void copyShared(volatile char* to, const volatile char* from, unsigned long count) {
  if (count == sizeof(uint64_t) && reinterpret_cast<uintptr_t>(to) % 8 == 0 &&
      reinterpret_cast<uintptr_t>(from) % 8 == 0) {
    *reinterpret_cast<volatile uint64_t*>(to) = *reinterpret_cast<const volatile uint64_t*>(from);
    return;
  }
  for (unsigned long i = 0; i < count; ++i) to[i] = from[i];
}

}  // namespace

// Inside a guarded access only.
bool CPSharedMemory::markIntact() const {
  if (m_ulMarkOffset == 0) return true;
  const auto* mark = reinterpret_cast<const volatile uint32_t*>(static_cast<const char*>(m_pAddress) + m_ulMarkOffset);
  return *mark == m_dwMark;
}

bool CPSharedMemory::copyGuarded(volatile char* to, const volatile char* from, unsigned long count) {
  volatile bool intact = false;
  const bool survived = evt::platform::guardedAccess([&] {
    if (!markIntact()) return;
    copyShared(to, from, count);
    intact = true;
  });
  if (survived && intact) return true;
  refuse();
  return false;
}

bool CPSharedMemory::read(unsigned long offset, void* out, unsigned long count) {
  if (m_bDamaged.load(std::memory_order_relaxed) != 0 || count > m_ulSize || offset > m_ulSize - count) return false;
  const volatile char* from = static_cast<const volatile char*>(m_pAddress) + offset;
  if (count != sizeof(uint64_t)) return copyGuarded(static_cast<volatile char*>(out), from, count);
  // An 8-byte value is one access, through a local value so that `out` may
  // be unaligned.
  uint64_t value = 0;
  if (!copyGuarded(reinterpret_cast<volatile char*>(&value), from, count)) return false;
  std::memcpy(out, &value, sizeof value);
  return true;
}

bool CPSharedMemory::write(unsigned long offset, const void* in, unsigned long count) {
  if (m_bDamaged.load(std::memory_order_relaxed) != 0 || count > m_ulSize || offset > m_ulSize - count) return false;
  volatile char* to = static_cast<volatile char*>(m_pAddress) + offset;
  if (count != sizeof(uint64_t)) return copyGuarded(to, static_cast<const volatile char*>(in), count);
  uint64_t value = 0;
  std::memcpy(&value, in, sizeof value);
  return copyGuarded(to, reinterpret_cast<const volatile char*>(&value), count);
}

// Marks the object refused and says why, once. Its size is read from the
// object now under the name, if that is still the one mapped here; opened
// without blocking, as whoever cut the object may have put a FIFO there.
void CPSharedMemory::refuse() {
  if (m_bDamaged.exchange(1) != 0) return;
  struct stat info {};
  bool same = false;
  const int fd = shm_open(m_strOsName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
  if (fd >= 0) {
    same = fstat(fd, &info) == 0 && static_cast<unsigned long long>(info.st_dev) == m_ullDevice &&
           static_cast<unsigned long long>(info.st_ino) == m_ullInode;
    close(fd);
  }
  const unsigned long long now = static_cast<unsigned long long>(info.st_size);
  if (same && now < m_ulSize) {
    evtLog(KelLogLib::LOGLIB_PRIORITY_ERROR,
           "(Error) CPSharedMemory %s was cut short to %llu bytes by another process; refused", m_strOsName.c_str(),
           now);
  } else if (same) {
    evtLog(KelLogLib::LOGLIB_PRIORITY_ERROR,
           "(Error) CPSharedMemory %s was cut short by another process and its contents lost (now %llu bytes); "
           "refused",
           m_strOsName.c_str(), now);
  } else {
    evtLog(KelLogLib::LOGLIB_PRIORITY_ERROR,
           "(Error) CPSharedMemory %s was cut short by another process and is no longer the object of that name; "
           "refused",
           m_strOsName.c_str());
  }
}

bool CPSharedMemory::remove(const std::string& name) {
  return shm_unlink(evt::platform::osObjectName(name).c_str()) == 0;
}
