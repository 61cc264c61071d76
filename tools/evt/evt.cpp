// evt: the command-line tool of the event system.
//
//   evt encode [--header TEXT] ITEM...   prints the parameter-list text of the items
//   evt decode TEXT                      prints the header and items of a text
//   evt lock NAME                        takes and releases machine-wide mutex NAME
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Library/CELibrary.h"
#include "platform/CPortable.h"

namespace {

const char kUsage[] =
    "usage: evt COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  encode [--header TEXT] ITEM...  print the parameter-list text holding ITEMs\n"
    "  decode TEXT                     print the header and the items of TEXT\n"
    "  lock NAME                       take and release the machine-wide mutex NAME\n"
    "\n"
    "options:\n"
    "  -h, --help                      show this help (also: evt COMMAND --help)\n";

bool wantsHelp(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "-h" || arg == "--help") return true;
  }
  return false;
}

int usageError(const char* message) {
  std::fprintf(stderr, "evt: %s\n\n%s", message, kUsage);
  return 2;
}

int encode(const std::vector<std::string>& args) {
  CParamsX list;
  std::size_t first = 0;
  if (!args.empty() && args[0] == "--header") {
    if (args.size() < 2) return usageError("--header needs a text");
    const std::string& header = args[1];
    if (header.empty() || (header[0] >= '0' && header[0] <= '9') || header.find(';') != std::string::npos) {
      return usageError("a header must not be empty, begin with a digit or hold ';'");
    }
    list.addHeader(header);
    first = 2;
  }
  for (std::size_t i = first; i < args.size(); ++i) list.addParam(args[i]);
  std::printf("%s\n", list.paramListRef().c_str());
  return 0;
}

int decode(const std::vector<std::string>& args) {
  if (args.size() != 1) return usageError("decode takes exactly one TEXT");
  CParamsX list(args[0]);
  if (list.count() == 0 && list.getHeader().empty() && !args[0].empty()) {
    std::fprintf(stderr, "evt: malformed parameter-list text\n");
    return 1;
  }
  if (!list.getHeader().empty()) std::printf("header: %s\n", list.getHeader().c_str());
  for (unsigned long i = 0; i < list.count(); ++i) {
    std::printf("%lu: %s\n", i, list.getstringParamAt(i).c_str());
  }
  return 0;
}

int lock(const std::vector<std::string>& args) {
  if (args.size() != 1) return usageError("lock takes exactly one NAME");
  try {
    CPMutex mutex(1, 0, args[0], 1, 1);
    long waited = mutex.wait(CPEvent::kInfinite, nullptr);
    std::printf("locked %s%s\n", args[0].c_str(), waited == CP_WAIT_ABANDONED ? " (taken over from a dead holder)" : "");
    mutex.release();
  } catch (const KelException& e) {
    std::fprintf(stderr, "evt: cannot open mutex %s (0x%08X)\n", args[0].c_str(),
                 static_cast<unsigned>(ce::wordFromResult(e.code())));
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return usageError("no command given");
  if (wantsHelp(args)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const std::string command = args[0];
  args.erase(args.begin());
  if (command == "encode") return encode(args);
  if (command == "decode") return decode(args);
  if (command == "lock") return lock(args);
  return usageError(("unknown command '" + command + "'").c_str());
}
