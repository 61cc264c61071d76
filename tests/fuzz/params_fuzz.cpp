// Parameter-list texts from anywhere: parsing never fails badly, the items of whatever parses come back unchanged
// from their own encoding, and the allocation-free reader reads exactly what the list reads.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Utilities/CParamsX.h"
#include "Utilities/ParamsView.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Texts travel NUL-terminated: everything after a NUL is not part of one.
  const char* chars = reinterpret_cast<const char*>(data);
  std::string text(chars, strnlen(chars, size));
  CParamsX list(text);
  CParamsX copy;
  if (!list.getHeader().empty()) copy.addHeader(list.getHeader());
  for (unsigned long i = 0; i < list.count(); ++i) copy.addParam(list.getstringParamAt(i));
  CParamsX again(copy.paramList());
  if (again.count() != list.count() || again.getHeader() != list.getHeader()) std::abort();
  for (unsigned long i = 0; i < list.count(); ++i) {
    if (again.getstringParamAt(i) != list.getstringParamAt(i)) std::abort();
    // Typed reads of any item must be safe.
    (void)list.getLongParamAt(i);
    (void)list.getULONGLONGParamAt(i);
    (void)list.getBOOLParamAt(i);
  }
  ParamsView view(text);
  if (view.count() != list.count() || view.header() != list.getHeader()) std::abort();
  for (unsigned long i = 0; i < list.count(); ++i) {
    if (view.itemAt(i) != list.getstringParamAt(i) || view.getLongParamAt(i) != list.getLongParamAt(i) ||
        view.getULONGLONGParamAt(i) != list.getULONGLONGParamAt(i))
      std::abort();
  }
  std::string built;
  for (unsigned long i = 0; i < list.count(); ++i) params::appendItem(&built, view.itemAt(i));
  const std::string& header = list.getHeader();
  if (built != copy.paramListRef().substr(header.empty() ? 0 : header.size() + 1)) std::abort();
  (void)CParamsX::getHRESULT(text);
  // Lists nest: the text as one item of another list comes back whole.
  CParamsX outer;
  outer.addParam(text);
  if (CParamsX(outer.paramList()).getstringParamAt(0) != text) std::abort();
  return 0;
}
