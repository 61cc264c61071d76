#include "eventd/SeriesFloors.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "eventd/ServiceLog.h"

namespace evt::service {

namespace {

constexpr char kMagic[8] = {'E', 'V', 'T', 'F', 'L', 'O', 'O', 'R'};
constexpr uint32_t kVersion = 1;

struct Header {
  char magic[8];
  uint32_t version;
  uint32_t slots;
  uint64_t base;
  char reserved[40];
};
static_assert(sizeof(Header) == 64, "the file's layout is the same on every build");

}  // namespace

struct SeriesFloors::Slot {
  uint64_t floor;  // written alone, in one 8-byte store
  uint32_t length;  // of the name; 0: the slot is free
  char name[kMaxName + 1];
};

SeriesFloors::~SeriesFloors() {
  if (m_map != nullptr) munmap(m_map, m_size);
}

bool SeriesFloors::open(const std::string& path, unsigned long long base, std::string* error) {
  // Never through a link, and only a plain file of this user with no other
  // name: a folder someone else may write cannot make eventd truncate or
  // map a file of their choosing, nor feed it floors.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    *error = std::strerror(errno);
    ::close(fd);
    return false;
  }
  if (!S_ISREG(status.st_mode) || status.st_uid != geteuid() || status.st_nlink != 1) {
    *error = "not a plain file of this user with one name";
    ::close(fd);
    return false;
  }
  fchmod(fd, 0600);
  m_size = sizeof(Header) + kSlots * sizeof(Slot);
  const bool fresh = static_cast<std::size_t>(status.st_size) != m_size;
  if (fresh && (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(m_size)) != 0)) {
    *error = std::strerror(errno);
    ::close(fd);
    return false;
  }
  void* map = mmap(nullptr, m_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  const int mapError = errno;
  ::close(fd);
  if (map == MAP_FAILED) {
    *error = std::strerror(mapError);
    return false;
  }
  m_map = map;
  const Header* header = static_cast<const Header*>(m_map);
  if (fresh || std::memcmp(header->magic, kMagic, sizeof kMagic) != 0 || header->version != kVersion ||
      header->slots != kSlots || header->base != base) {
    if (!fresh) logInfo("%s is of another store or layout: begun afresh", path.c_str());
    begin(base);
    return true;
  }
  for (std::size_t i = 0; i < kSlots; ++i) {
    Slot* s = slot(i);
    if (s->length == 0) continue;
    const unsigned long long floor = __atomic_load_n(&s->floor, __ATOMIC_RELAXED);
    if (s->length > kMaxName || floor == 0) {
      clearSlot(i);  // torn, or never stored: nothing to go by
      continue;
    }
    const std::string name(s->name, s->length);
    if (!m_index.emplace(name, i).second) {
      clearSlot(i);  // a second slot of one name: the first one stands
      continue;
    }
    m_inheritedFloors.emplace(name, floor);
  }
  m_inherited = !m_inheritedFloors.empty();
  m_nextFree = 0;
  return true;
}

std::vector<std::string> SeriesFloors::inheritedCategories() const {
  std::vector<std::string> names;
  names.reserve(m_inheritedFloors.size());
  for (const auto& entry : m_inheritedFloors) names.push_back(entry.first);
  return names;
}

std::optional<unsigned long long> SeriesFloors::takeInherited(std::string_view category) {
  auto found = m_inheritedFloors.find(std::string(category));
  if (found == m_inheritedFloors.end()) return std::nullopt;
  const unsigned long long floor = found->second;
  m_inheritedFloors.erase(found);
  return floor;
}

std::size_t SeriesFloors::claim(std::string_view category) {
  if (m_map == nullptr || category.empty()) return kNoSlot;
  const std::string name(category);
  auto found = m_index.find(name);
  if (found != m_index.end()) return found->second;
  while (m_nextFree < kSlots && slot(m_nextFree)->length != 0) ++m_nextFree;
  if (category.size() > kMaxName || m_nextFree == kSlots) {
    if (++m_unkept == 1 || m_unkept % 1000 == 0) {
      logError("where the series of \"%s\" stands is not kept for a restart (%s); %" PRIu64 " such series so far",
               printable(name).c_str(), category.size() > kMaxName ? "its name is too long" : "every slot is taken",
               m_unkept);
    }
    return kNoSlot;
  }
  const std::size_t index = m_nextFree++;
  Slot* s = slot(index);
  __atomic_store_n(&s->floor, 0, __ATOMIC_RELAXED);
  std::memcpy(s->name, name.data(), name.size());
  s->name[name.size()] = '\0';
  // The name is whole before the slot counts as taken.
  __atomic_store_n(&s->length, static_cast<uint32_t>(name.size()), __ATOMIC_RELEASE);
  m_index.emplace(name, index);
  return index;
}

void SeriesFloors::store(std::size_t index, unsigned long long floor) {
  if (index == kNoSlot || m_map == nullptr) return;
  __atomic_store_n(&slot(index)->floor, static_cast<uint64_t>(floor), __ATOMIC_RELAXED);
}

void SeriesFloors::release(std::size_t index) {
  if (index == kNoSlot || m_map == nullptr) return;
  // By this process's own index: what the file says is not trusted.
  for (auto it = m_index.begin(); it != m_index.end(); ++it) {
    if (it->second != index) continue;
    m_index.erase(it);
    clearSlot(index);
    return;
  }
}

void SeriesFloors::release(std::string_view category) {
  auto found = m_index.find(std::string(category));
  if (found == m_index.end()) return;
  const std::size_t index = found->second;
  m_index.erase(found);
  clearSlot(index);
}

SeriesFloors::Slot* SeriesFloors::slot(std::size_t index) const {
  static_assert(sizeof(Slot) == 256, "the file's layout is the same on every build");
  return reinterpret_cast<Slot*>(static_cast<char*>(m_map) + sizeof(Header)) + index;
}

void SeriesFloors::clearSlot(std::size_t index) {
  Slot* s = slot(index);
  s->length = 0;
  __atomic_store_n(&s->floor, 0, __ATOMIC_RELAXED);
  if (index < m_nextFree) m_nextFree = index;
}

void SeriesFloors::begin(unsigned long long base) {
  std::memset(m_map, 0, m_size);
  Header* header = static_cast<Header*>(m_map);
  header->version = kVersion;
  header->slots = kSlots;
  header->base = base;
  std::memcpy(header->magic, kMagic, sizeof kMagic);
  m_index.clear();
  m_inheritedFloors.clear();
  m_inherited = false;
  m_nextFree = 0;
}

}  // namespace evt::service
