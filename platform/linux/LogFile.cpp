// KelLogLib::CLogFile: one formatted line per call, appended with one write.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/KelLogLib.h"
#include "platform/linux/AccessGroup.h"
#include "platform/linux/Interrupted.h"

namespace KelLogLib {
namespace {

const char* priorityLabel(LogLib_Priority priority) {
  switch (priority) {
    case LOGLIB_PRIORITY_EVENT: return "EVT";
    case LOGLIB_PRIORITY_INFO: return "INF";
    case LOGLIB_PRIORITY_ERROR: return "ERR";
  }
  return "???";
}

// mkdir -p; existing directories are fine.
void makeDirectories(const std::string& dir) {
  for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos == dir.size() || dir[pos] == '/') mkdir(dir.substr(0, pos).c_str(), 0775);
  }
}

// Each user's own folder by default, so that hosts of different users never
// share (or fight over) one file: /tmp/evt-log-<uid>, mode 0700. A folder of
// that name that is not this user's own is not used ("" then).
std::string defaultDirectory() {
  const std::string dir = std::string(kDefaultLogDir) + "-" + std::to_string(geteuid());
  mkdir(dir.c_str(), 0700);
  struct stat info {};
  if (lstat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid()) return std::string();
  return dir;
}

// How many full files are kept beside the log, <name>.log.1 (the newest) to
// .N: $EVT_LOG_KEEP (eventd sets it from --log-keep), 1 when unset. Read at
// each rotation, which is rare.
unsigned long logsKept() {
  constexpr unsigned long kMostKept = 1000;
  const char* keep = std::getenv(KelLogLib::kLogKeepEnv);
  const unsigned long kept = keep != nullptr ? std::strtoul(keep, nullptr, 10) : 1;
  return kept < 1 ? 1 : kept > kMostKept ? kMostKept : kept;
}

// Opens the log at `path` for appending, 0640 and of the service's group:
// its lines name categories and clients, which are no business of other
// users. Never through a link, and only a plain file of this user with no
// other name, so that a log folder someone else may write cannot make this
// process (root, say) append to a file of their choosing. -1 with errno set.
int openLog(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0640);
  if (fd < 0) return -1;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() || info.st_nlink != 1) {
    ::close(fd);
    errno = EPERM;
    return -1;
  }
  // Given to the group where this user may; otherwise it keeps its own.
  if (!evt::platform::shareWithAccessGroup(fd, 0640)) fchmod(fd, 0640);
  return fd;
}

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = evt::platform::retryInterrupted([&] { return ::write(fd, data, size); });
    if (n < 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

CLogFile::CLogFile(const char* name1, const char* name2, bool, bool, bool)
    : m_strName2(name2 != nullptr ? name2 : "") {
  const char* env = std::getenv(kLogDirEnv);
  const bool configured = env != nullptr && *env != '\0';
  std::string dir = configured ? env : defaultDirectory();
  if (dir.empty()) {
    std::fprintf(stderr, "evt: %s-%u is not this user's own folder; log lines go to standard error\n",
                 kDefaultLogDir, static_cast<unsigned>(geteuid()));
    dir = "stderr";
  }
  if (dir == "stderr") {
    m_fd = STDERR_FILENO;
    return;
  }
  if (configured) makeDirectories(dir);
  if (const char* max = std::getenv(kLogMaxBytesEnv); max != nullptr && *max != '\0') {
    m_maxBytes = std::strtoull(max, nullptr, 10);
  }
  m_strPath = dir + "/" + (name1 != nullptr && *name1 != '\0' ? name1 : "log") + ".log";
  m_fd = openLog(m_strPath);
  if (m_fd < 0) {
    std::fprintf(stderr, "evt: cannot open log file %s: %s%s; log lines are dropped\n", m_strPath.c_str(),
                 std::strerror(errno), errno == EPERM || errno == ELOOP ? " (a link, or not this user's own file)" : "");
  }
}

CLogFile::~CLogFile() {
  if (m_fd >= 0 && m_fd != STDERR_FILENO) ::close(m_fd);
}

int CLogFile::OnClientMachine() { return 1; }

long CLogFile::LogStringArgListX(LogLib_Priority priority, const char* category, const char* format,
                                 va_list args) const {
  if (format == nullptr) return -1;

  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char head[160];
  int headLength = std::snprintf(head, sizeof head, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ %s pid %d tid %d %s%s",
                                 utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                                 utc.tm_sec, static_cast<int>(now.tv_nsec / 1000000), priorityLabel(priority),
                                 static_cast<int>(getpid()), static_cast<int>(syscall(SYS_gettid)),
                                 category != nullptr ? category : "", category != nullptr ? ": " : "");
  if (headLength < 0) return -1;
  if (headLength >= static_cast<int>(sizeof head)) headLength = sizeof head - 1;

  std::string line(head, static_cast<std::size_t>(headLength));
  char body[1024];
  va_list again;
  va_copy(again, args);
  int bodyLength = std::vsnprintf(body, sizeof body, format, args);
  if (bodyLength < 0) {
    va_end(again);
    return -1;
  }
  if (bodyLength < static_cast<int>(sizeof body)) {
    line.append(body, static_cast<std::size_t>(bodyLength));
  } else {
    std::size_t start = line.size();
    line.resize(start + static_cast<std::size_t>(bodyLength) + 1);
    std::vsnprintf(&line[start], static_cast<std::size_t>(bodyLength) + 1, format, again);
    line.resize(start + static_cast<std::size_t>(bodyLength));
  }
  va_end(again);
  line += '\n';

  // m_fd changes when the file rotates, so it is read under the lock.
  std::lock_guard<std::recursive_mutex> hold(m_mutex);
  if (m_fd < 0) return -1;
  rotateIfDue(line.size());
  return writeAll(m_fd, line.data(), line.size()) ? 0 : -1;
}

void CLogFile::rotateIfDue(std::size_t size) const {
  if (m_strPath.empty() || m_maxBytes == 0) return;
  struct stat open {}, named {};
  if (fstat(m_fd, &open) != 0) return;
  const bool moved =
      stat(m_strPath.c_str(), &named) != 0 || named.st_ino != open.st_ino || named.st_dev != open.st_dev;
  if (!moved && static_cast<unsigned long long>(open.st_size) + size <= m_maxBytes) return;
  // Another process may have begun a new file meanwhile: only this one's
  // own full file is moved aside.
  if (!moved && stat(m_strPath.c_str(), &named) == 0 && named.st_ino == open.st_ino) {
    // The older ones move on by one; the oldest kept (.N) is replaced.
    for (unsigned long n = logsKept(); n > 1; --n) {
      ::rename((m_strPath + "." + std::to_string(n - 1)).c_str(), (m_strPath + "." + std::to_string(n)).c_str());
    }
    ::rename(m_strPath.c_str(), (m_strPath + ".1").c_str());
  }
  const int fd = openLog(m_strPath);
  if (fd < 0) return;  // the full file takes the line; the next one tries again
  ::close(m_fd);
  m_fd = fd;
}

long CLogFile::LogString(LogLib_Priority priority, const char* format, ...) const {
  va_list args;
  va_start(args, format);
  long result = LogStringArgListX(priority, nullptr, format, args);
  va_end(args);
  return result;
}

void CLogFile::LogLock() { m_mutex.lock(); }

void CLogFile::LogUnlock() { m_mutex.unlock(); }

void CLogFile::WaitForWrites() {}

}  // namespace KelLogLib
