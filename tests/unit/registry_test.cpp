#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "Library/CEResultCodes.h"
#include "platform/KelRegLib.h"
#include "tests/support/TestEnvironment.h"

namespace {

using KelRegLib::CRegLib;

long queryUint32(CRegLib& registry, const char* name, uint32_t* value) {
  CRegLib::eDataType type = CRegLib::DATA_UINT32;
  unsigned long size = sizeof *value;
  return KelRegLib::KelRegQueryValue(registry.RootKey(), name, type, reinterpret_cast<unsigned char*>(value),
                                     &size);
}

TEST(Registry, ReadsValuesFromTheConfiguredFile) {
  const std::string path = evt::test::logDirectory() + "/registry.conf";
  std::ofstream(path) << "# this machine\nLocalDBServerID = 12\nHighID=4294967294\nNegative = -1\n"
                         "Text = abc\nTooBig = 4294967296\n";
  setenv("EVT_REGISTRY_FILE", path.c_str(), 1);
  int status = 1;
  CRegLib registry(nullptr, nullptr, static_cast<CRegLib::LOCATION>(0), &status);
  EXPECT_EQ(status, 0);

  uint32_t value = 0;
  EXPECT_EQ(queryUint32(registry, "LocalDBServerID", &value), 0);
  EXPECT_EQ(value, 12u);
  EXPECT_EQ(queryUint32(registry, "HighID", &value), 0);
  EXPECT_EQ(value, 0xFFFFFFFEu);

  value = 77;
  EXPECT_EQ(queryUint32(registry, "Missing", &value), KELREG_E_NOT_FOUND);
  EXPECT_EQ(queryUint32(registry, "Negative", &value), KELREG_E_BAD_VALUE);
  EXPECT_EQ(queryUint32(registry, "Text", &value), KELREG_E_BAD_VALUE);
  EXPECT_EQ(queryUint32(registry, "TooBig", &value), KELREG_E_BAD_VALUE);
  EXPECT_EQ(value, 77u);  // failures leave the output alone

  CRegLib::eDataType type = CRegLib::DATA_UINT32;
  unsigned char small[2] = {};
  unsigned long size = sizeof small;
  EXPECT_EQ(KelRegLib::KelRegQueryValue(registry.RootKey(), "LocalDBServerID", type, small, &size),
            KELREG_E_BUFFER);

  type = CRegLib::DATA_STRING;
  char text[8] = {};
  size = sizeof text;
  EXPECT_EQ(KelRegLib::KelRegQueryValue(registry.RootKey(), "Text", type, reinterpret_cast<unsigned char*>(text),
                                        &size),
            0);
  EXPECT_STREQ(text, "abc");
  EXPECT_EQ(size, 4ul);
  unsetenv("EVT_REGISTRY_FILE");
}

TEST(Registry, MissingFileIsAnEmptyRegistry) {
  int status = 0;
  CRegLib registry((evt::test::logDirectory() + "/absent.conf").c_str(), nullptr,
                   static_cast<CRegLib::LOCATION>(0), &status);
  EXPECT_EQ(status, static_cast<int>(KELREG_E_NOT_FOUND));
  uint32_t value = 0;
  EXPECT_EQ(queryUint32(registry, "LocalDBServerID", &value), KELREG_E_NOT_FOUND);
}

}  // namespace
