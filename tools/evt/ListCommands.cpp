#include <cstdio>

#include "Library/CELibrary.h"
#include "platform/CPortable.h"
#include "tools/evt/Commands.h"

namespace evt::tool {

std::string keysList(const std::string& commaSeparated) {
  CParamsX list;
  if (commaSeparated.empty()) return list.paramList();
  std::size_t begin = 0;
  for (;;) {
    const std::size_t comma = commaSeparated.find(',', begin);
    list.addParam(commaSeparated.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin));
    if (comma == std::string::npos) break;
    begin = comma + 1;
  }
  return list.paramList();
}

int encodeList(const std::string& header, const std::vector<std::string>& items) {
  CParamsX list;
  if (!header.empty()) {
    if ((header[0] >= '0' && header[0] <= '9') || header.find(';') != std::string::npos) {
      std::fprintf(stderr, "evt: a header must not begin with a digit or hold ';'\n");
      return 2;
    }
    list.addHeader(header);
  }
  for (const std::string& item : items) list.addParam(item);
  std::printf("%s\n", list.paramListRef().c_str());
  return 0;
}

int decodeList(const std::string& text) {
  CParamsX list(text);
  if (list.count() == 0 && list.getHeader().empty() && !text.empty()) {
    std::fprintf(stderr, "evt: malformed parameter-list text\n");
    return 1;
  }
  if (!list.getHeader().empty()) std::printf("header: %s\n", list.getHeader().c_str());
  for (unsigned long i = 0; i < list.count(); ++i) std::printf("%lu: %s\n", i, list.getstringParamAt(i).c_str());
  return 0;
}

int lockMutex(const std::string& name) {
  try {
    CPMutex mutex(1, 0, name, 1, 1);
    long waited = mutex.wait(CPEvent::kInfinite, nullptr);
    std::printf("locked %s%s\n", name.c_str(), waited == CP_WAIT_ABANDONED ? " (taken over from a dead holder)" : "");
    mutex.release();
  } catch (const KelException& e) {
    std::fprintf(stderr, "evt: cannot open mutex %s (0x%08X)\n", name.c_str(), ce::wordFromResult(e.code()));
    return 1;
  }
  return 0;
}

}  // namespace evt::tool
