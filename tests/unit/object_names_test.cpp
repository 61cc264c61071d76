#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/ObjectNames.h"

namespace {

using evt::platform::osObjectName;

bool isSafeObjectName(const std::string& name) {
  if (name.size() < 2 || name.size() > 255 || name[0] != '/') return false;
  for (std::size_t i = 1; i < name.size(); ++i) {
    char c = name[i];
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
              c == '-' || c == '%' || c == '~';
    if (!ok) return false;
  }
  return name != "/." && name != "/..";
}

TEST(ObjectNames, HostileCategoriesMapToDistinctSafeNames) {
  const std::vector<std::string> categories = {
      "plain",
      "a/b",
      "../../etc/x",
      "..",
      ".",
      std::string(300, 'c'),
      std::string(300, 'c') + "d",
      std::string(299, 'c'),
      std::string(150, '/'),
      std::string("a\0b", 3),
      std::string("a\0c", 3),
      "%41",
      "A",
      "caf\xc3\xa9",
      "~",
      "%7E",
      "",
  };
  std::set<std::string> seen;
  for (const std::string& category : categories) {
    std::string name = osObjectName("Share-SeqNoInfo-" + category);
    EXPECT_TRUE(isSafeObjectName(name)) << name;
    EXPECT_TRUE(seen.insert(name).second) << "collision for " << name;
  }
  // Deterministic: every process computes the same name.
  EXPECT_EQ(osObjectName("Share-SeqNoInfo-a/b"), osObjectName("Share-SeqNoInfo-a/b"));
}

}  // namespace
