// KeyPatterns: the key patterns of every subscription filed under one
// subscription key, read once and kept as a tree, so that matching an event's
// keys costs the depth of its keys rather than the number of subscriptions.
//
// A subscription's patterns match an event's keys by prefix: pattern i must
// equal key i (a key past the last one reads as ""), "*" stands for any
// single key, and a "*" that ends the patterns for all remaining keys. No
// patterns at all match every event.
//
// Not thread-safe; the engine uses it under its lock.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>

class ParamsView;

class KeyPatterns {
 public:
  KeyPatterns();
  ~KeyPatterns();
  KeyPatterns(KeyPatterns&&) noexcept;
  KeyPatterns& operator=(KeyPatterns&&) noexcept;

  // Adds one subscription's patterns, as the parameter-list text it was filed
  // with (empty: none).
  void add(std::string_view patternText);
  // Whether any added subscription matches the event keys in `keysText` (a
  // parameter-list text; read only when some subscription has patterns).
  bool matches(std::string_view keysText) const;

 private:
  struct Node {
    bool end = false;  // some subscription's patterns end here
    std::map<std::string, Node, std::less<>> exact;
    std::unique_ptr<Node> any;  // the "*" pattern
  };
  static bool matchesFrom(const Node& node, const ParamsView& keys, std::size_t depth);

  std::unique_ptr<Node> m_root;
};
