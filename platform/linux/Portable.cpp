// CPortable on Linux: pthreads, clock_gettime, and number text.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/CPortable.h"
#include "platform/linux/Interrupted.h"

namespace {

struct ThreadStart {
  void (*entry)(void*);
  void* arg;
  std::string name;
};

void* runThread(void* raw) {
  ThreadStart* start = static_cast<ThreadStart*>(raw);
  if (!start->name.empty()) CPortable::SetCurrentThreadName(start->name);
  void (*entry)(void*) = start->entry;
  void* arg = start->arg;
  delete start;
  entry(arg);
  return nullptr;
}

// Seconds from 1601-01-01 to 1970-01-01.
constexpr unsigned long long kFileTimeEpochOffsetSeconds = 11644473600ull;

// Writes the digits of `magnitude` in `radix`, with `negative` as a leading '-'.
char* formatNumber(unsigned long long magnitude, bool negative, char* buffer, int radix) {
  if (radix < 2 || radix > 36) radix = 10;
  char digits[72];
  int n = 0;
  do {
    unsigned digit = static_cast<unsigned>(magnitude % static_cast<unsigned>(radix));
    digits[n++] = static_cast<char>(digit < 10 ? '0' + digit : 'a' + digit - 10);
    magnitude /= static_cast<unsigned>(radix);
  } while (magnitude != 0);
  char* out = buffer;
  if (negative) *out++ = '-';
  while (n > 0) *out++ = digits[--n];
  *out = '\0';
  return buffer;
}

template <typename Signed, typename Unsigned>
char* signedToText(Signed value, char* buffer, int radix) {
  if (radix == 10 && value < 0) {
    // Negating in unsigned arithmetic keeps the most negative value exact.
    unsigned long long magnitude = 0ull - static_cast<unsigned long long>(static_cast<long long>(value));
    return formatNumber(magnitude, true, buffer, radix);
  }
  return formatNumber(static_cast<Unsigned>(value), false, buffer, radix);
}

}  // namespace

int CPortable::CreateThread(void (*entry)(void*), void* arg, unsigned long* idOut, const std::string& name) {
  if (entry == nullptr) return 0;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return 0;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  ThreadStart* start = new ThreadStart{entry, arg, name};
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, runThread, start);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete start;
    return 0;
  }
  if (idOut != nullptr) *idOut = static_cast<unsigned long>(thread);
  return 1;
}

int CPortable::GetCurrentProcessId() { return static_cast<int>(getpid()); }

void CPortable::GetCurrentULLFileTimeUTC(unsigned long long* out) {
  if (out == nullptr) return;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  unsigned long long value = (static_cast<unsigned long long>(now.tv_sec) + kFileTimeEpochOffsetSeconds) * 10000000ull +
                             static_cast<unsigned long long>(now.tv_nsec) / 100ull;
  // The wall clock may be set back; callers rely on the value growing.
  static std::atomic<unsigned long long> last{0};
  unsigned long long seen = last.load(std::memory_order_relaxed);
  while (value > seen && !last.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
  *out = value > seen ? value : seen;
}

unsigned long long CPortable::GetTickCountULL() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<unsigned long long>(now.tv_sec) * 1000ull +
         static_cast<unsigned long long>(now.tv_nsec) / 1000000ull;
}

void CPortable::SetCurrentThreadName(std::string name) {
  if (name.size() > 15) name.resize(15);  // the kernel's limit
  pthread_setname_np(pthread_self(), name.c_str());
}

void CPortable::Sleep(unsigned long ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  // A signal leaves the rest of the time in `left`, which the next call sleeps.
  evt::platform::retryInterrupted([&] { return nanosleep(&left, &left); });
}

char* CPortable::itoa(int value, char* buffer, int radix) {
  return signedToText<int, unsigned int>(value, buffer, radix);
}

char* CPortable::ltoa(long value, char* buffer, int radix) {
  return signedToText<long, unsigned long>(value, buffer, radix);
}

unsigned long long CPortable::stoull(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  if (*p == '-') return 0;  // strtoull would wrap it to a huge value
  errno = 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(p, &end, 10);
  if (end == p || errno == ERANGE) return 0;
  return value;
}

std::string CPortable::ulltos(const unsigned long long& value) {
  char buffer[kNumberTextSize];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);  // as "%llu"
  return std::string(buffer, written.ptr);
}
