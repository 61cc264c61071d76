// Links the shared object only: everything a host uses must be exported.
#include <cstdint>

#include <gtest/gtest.h>

#include "Library/CELibrary.h"
#include "platform/CPortable.h"
#include "platform/KelRegLib.h"

namespace {

TEST(SharedLibrary, ExportsWhatHostsUse) {
  CParamsX list;
  list.addParam("cat1");
  list.addParam(5L);
  CParamsX copy(list.paramListRef());
  EXPECT_EQ(copy.getstringParamAt(0), "cat1");

  CreateCTraceUtility(&g_ptu, "shared", "evtl", "EventSystem", 1, nullptr, 1, 40000);
  ASSERT_NE(g_ptu.load(), nullptr);
  evtLog(KelLogLib::LOGLIB_PRIORITY_INFO, "from a host %d", 1);
  DestroyCTraceUtility(&g_ptu);
  EXPECT_EQ(g_ptu.load(), nullptr);

  CPMutex mutex(1, 0, "Mutex-shared", 1, 1);
  EXPECT_EQ(mutex.wait(CPEvent::kInfinite, nullptr), 0);
  EXPECT_EQ(mutex.release(), 0);
  CPSharedMemory block("Share-shared", 8);
  EXPECT_NE(block.getAddress(), nullptr);
  CPSharedMemory::remove("Share-shared");

  try {
    KEL_THROW(CE_E_CREATE);
  } catch (const KelException& e) {
    EXPECT_EQ(e.code(), CE_E_CREATE);
  }
}

}  // namespace
