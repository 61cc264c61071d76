// Links the shared object only: everything a host uses must be exported.
#include <cstdint>

#include <gtest/gtest.h>

#include "Library/CELibrary.h"
#include "Service/CategorySeqNo.h"

namespace {

TEST(SharedLibrary, ExportsWhatHostsUse) {
  CParamsX list;
  list.addParam("cat1");
  list.addParam(5L);
  EXPECT_EQ(CParamsX(list.paramListRef()).getstringParamAt(0), "cat1");

  CreateCTraceUtility(&g_ptu, "shared", "evtl", "EventSystem", 1, nullptr, 1, 40000);
  ASSERT_NE(g_ptu.load(), nullptr);
  evtLog(KelLogLib::LOGLIB_PRIORITY_INFO, "from a host %d", 1);
  DestroyCTraceUtility(&g_ptu);
  EXPECT_EQ(g_ptu.load(), nullptr);

  // The store and the client object, as a host reaches them.
  CCategorySeqNo store;
  unsigned long long first = 0, second = 0;
  EXPECT_EQ(store.getNextSeqNo("shared", &first), 0);
  EXPECT_EQ(store.getNextSeqNo("shared", &second), 0);
  EXPECT_EQ(second, first + 1);
  struct Handler : CEventHandler {
    long onDeliverEvent(const std::string&, const std::string&, const std::string&, unsigned long long,
                        unsigned long) override {
      return 0;
    }
  } handler;
  CEventLib client("shared", &handler, nullptr, nullptr);
  EXPECT_EQ(client.initialize(), 0);
  EXPECT_EQ(client.deliverEvent("shared", "", std::string("a\0b", 3)), CE_E_INVALID_TEXT);
  EXPECT_EQ(client.finalize(), 0);

  EXPECT_THROW(KEL_THROW(CE_E_CREATE), KelException);
}

}  // namespace
