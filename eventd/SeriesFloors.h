// Where each followed series of this server stands: the last number eventd
// handed on or gave up, per category, in a small file mapped into memory.
// The kernel keeps what was written there when eventd is killed, so the
// next eventd knows below which number an event its clients send again was
// already delivered, or reported as missed, by the one before it.
//
// The file is eventd's own (mode 0600, next to its socket). It names the
// store it belongs to by the store's base: a file of another store (the
// store's objects were made afresh), of another layout or cut short is
// begun afresh. Single-threaded.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace evt::service {

class SeriesFloors {
 public:
  static constexpr std::size_t kSlots = 4096;
  static constexpr std::size_t kMaxName = 243;  // longer categories go without a floor

  SeriesFloors() = default;
  ~SeriesFloors();
  SeriesFloors(const SeriesFloors&) = delete;
  SeriesFloors& operator=(const SeriesFloors&) = delete;

  // Maps the file at `path`, made for the store whose base is `base`.
  // False, with the reason in *error, when it cannot be opened or mapped.
  bool open(const std::string& path, unsigned long long base, std::string* error);

  bool isOpen() const { return m_map != nullptr; }
  // The file held floors of this store when opened: an eventd ran before.
  bool inherited() const { return m_inherited; }
  bool inherits(const std::string& category) const { return m_inheritedFloors.count(category) != 0; }
  std::vector<std::string> inheritedCategories() const;
  // Where the last eventd left `category`'s series (every number up to it
  // handed on or given up), if it did; said once.
  std::optional<unsigned long long> takeInherited(std::string_view category);
  // The inherited floors were used (or not) as they could be: forgotten.
  void endInheritance() {
    m_inheritedFloors.clear();
    m_inherited = false;
  }

  static constexpr std::size_t kNoSlot = static_cast<std::size_t>(-1);
  // The slot that keeps `category`'s floor from now on (the one it had, if
  // any); kNoSlot when every slot is taken or the name is too long.
  std::size_t claim(std::string_view category);
  // Stores `floor` in a claimed slot: one 8-byte store, cheap enough for
  // every event. kNoSlot stores nothing.
  void store(std::size_t slot, unsigned long long floor);
  // The slot's category is no longer followed: its floor goes.
  void release(std::size_t slot);
  // The same by name; nothing when the name holds no slot.
  void release(std::string_view category);
  // Releases every claimed slot whose category `keep` does not keep.
  template <typename Keep>
  void releaseAllBut(Keep keep) {
    for (auto it = m_index.begin(); it != m_index.end();) {
      if (keep(it->first)) {
        ++it;
        continue;
      }
      const std::size_t index = it->second;
      it = m_index.erase(it);
      clearSlot(index);
    }
  }

 private:
  struct Slot;
  Slot* slot(std::size_t index) const;
  void clearSlot(std::size_t index);
  void begin(unsigned long long base);

  void* m_map = nullptr;
  std::size_t m_size = 0;
  bool m_inherited = false;
  std::unordered_map<std::string, std::size_t> m_index;  // category -> slot in use
  std::unordered_map<std::string, unsigned long long> m_inheritedFloors;
  std::size_t m_nextFree = 0;  // no slot below it is free
  uint64_t m_unkept = 0;       // series that got no slot
};

}  // namespace evt::service
