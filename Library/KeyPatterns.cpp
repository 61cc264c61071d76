#include "Library/KeyPatterns.h"

#include "Utilities/ParamsView.h"

KeyPatterns::KeyPatterns() : m_root(new Node) {}
KeyPatterns::~KeyPatterns() = default;
KeyPatterns::KeyPatterns(KeyPatterns&&) noexcept = default;
KeyPatterns& KeyPatterns::operator=(KeyPatterns&&) noexcept = default;

void KeyPatterns::add(std::string_view patternText) {
  const ParamsView patterns(patternText);
  Node* node = m_root.get();
  for (std::size_t i = 0; i < patterns.count() && !node->end; ++i) {
    const std::string_view pattern = patterns.itemAt(i);
    if (pattern == "*") {
      if (!node->any) node->any.reset(new Node);
      node = node->any.get();
    } else {
      auto found = node->exact.find(pattern);
      if (found == node->exact.end()) found = node->exact.emplace(std::string(pattern), Node()).first;
      node = &found->second;
    }
  }
  // Patterns that end where shorter ones already did add nothing: the
  // shorter ones match all they would.
  node->end = true;
}

bool KeyPatterns::matches(std::string_view keysText) const {
  if (m_root->end) return true;
  const ParamsView keys(keysText);
  return matchesFrom(*m_root, keys, 0);
}

bool KeyPatterns::matchesFrom(const Node& node, const ParamsView& keys, std::size_t depth) {
  if (node.end) return true;
  if (node.any && matchesFrom(*node.any, keys, depth + 1)) return true;
  if (node.exact.empty()) return false;
  auto found = node.exact.find(keys.itemAt(depth));
  return found != node.exact.end() && matchesFrom(found->second, keys, depth + 1);
}
