#include "eventd/FederationWire.h"

#include "Utilities/ByteEscape.h"

namespace evt::service {
namespace {

constexpr std::string_view kInterestPrefix = "evt.fed.interest.";
constexpr std::string_view kPairPrefix = "evt.fed.pair.";

bool isPlain(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string interestSubject(uint32_t server) { return std::string(kInterestPrefix) + std::to_string(server); }

bool isInterestSubject(std::string_view subject) { return subject.rfind(kInterestPrefix, 0) == 0; }

std::string pairSubject(const Pair& pair) {
  return std::string(kPairPrefix) + std::to_string(pair.server) + "." + categoryToken(pair.category);
}

bool isPairSubject(std::string_view subject) { return subject.rfind(kPairPrefix, 0) == 0; }

std::string streamName(uint32_t server) { return "EVT-FED-" + std::to_string(server); }

std::string streamSubjects(uint32_t server) { return std::string(kPairPrefix) + std::to_string(server) + ".>"; }

std::string streamPlacementTag(uint32_t server) { return "evt-server-" + std::to_string(server); }

bool pairOfSubject(std::string_view subject, Pair* pair) {
  const std::size_t from = kPairPrefix.size();
  const std::size_t dot = subject.find('.', from);
  if (!isPairSubject(subject) || dot == std::string_view::npos) return false;
  pair->server = static_cast<uint32_t>(params::toULongLong(subject.substr(from, dot - from)));
  return categoryFromToken(subject.substr(dot + 1), &pair->category);
}

std::string categoryToken(std::string_view category) {
  std::string token = "c";
  text::appendEscaped(&token, category, text::EscapeForm{isPlain, "~", false});
  return token;
}

bool categoryFromToken(std::string_view token, std::string* category) {
  if (token.empty() || token[0] != 'c') return false;
  category->clear();
  for (std::size_t i = 1; i < token.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(token[i]);
    if (isPlain(c)) {
      *category += static_cast<char>(c);
      continue;
    }
    if (c != '~' || i + 2 >= token.size() || hexValue(token[i + 1]) < 0 || hexValue(token[i + 2]) < 0) return false;
    const int value = hexValue(token[i + 1]) * 16 + hexValue(token[i + 2]);
    if (isPlain(static_cast<unsigned char>(value))) return false;  // one category, one token
    *category += static_cast<char>(value);
    i += 2;
  }
  return true;
}

std::string helloMessage(const Hello& hello) {
  std::string message;
  params::appendNumberItem(&message, hello.server);
  params::appendNumberItem(&message, hello.instance);
  params::appendNumberItem(&message, hello.started);
  params::appendNumberItem(&message, hello.seqNoBase);
  params::appendNumberItem(&message, hello.asks ? 1 : 0);
  return message;
}

bool readHello(const ParamsView& items, Hello* hello) {
  hello->server = static_cast<uint32_t>(items.getULONGLONGParamAt(0));
  hello->instance = items.getULONGLONGParamAt(1);
  hello->started = items.getULONGLONGParamAt(2);
  hello->seqNoBase = items.getULONGLONGParamAt(3);
  hello->asks = items.getULONGLONGParamAt(4) != 0;  // absent from an older eventd's hello: 0
  return hello->server != 0 && items.count() >= 4;
}

std::string interestHeader(uint32_t server, uint64_t instance, std::string_view kind) {
  std::string message;
  params::appendNumberItem(&message, server);
  params::appendNumberItem(&message, instance);
  params::appendItem(&message, kind);
  return message;
}

Interest readInterest(const ParamsView& items) {
  Interest interest;
  interest.server = static_cast<uint32_t>(items.getULONGLONGParamAt(0));
  interest.instance = items.getULONGLONGParamAt(1);
  interest.kind = items.itemAt(2);
  return interest;
}

}  // namespace evt::service
