// CPSharedMemory on POSIX shared memory (shm_open + mmap).
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Library/CEResultCodes.h"
#include "platform/CPortable.h"
#include "platform/linux/AccessGroup.h"
#include "platform/linux/ObjectNames.h"
#include "trace/KelException.h"
#include "trace/_Trace.h"

namespace {

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

CPSharedMemory::CPSharedMemory(const std::string& name, unsigned long size) : m_ulSize(size) {
  std::string osName = evt::platform::osObjectName(name);
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
  void* address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  int error = errno;
  close(fd);
  if (address == MAP_FAILED) failOpen("map", osName, error);
  m_pAddress = address;
}

CPSharedMemory::~CPSharedMemory() {
  if (m_pAddress != nullptr) munmap(m_pAddress, m_ulSize);
}

void* CPSharedMemory::getAddress() { return m_pAddress; }

int CPSharedMemory::isCreator() { return m_bCreator; }

bool CPSharedMemory::remove(const std::string& name) {
  return shm_unlink(evt::platform::osObjectName(name).c_str()) == 0;
}
