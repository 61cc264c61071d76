#include "protocol/Protocol.h"
#include "tools/evt/EventOutput.h"

#include <cstdio>

#include "Library/CELibrary.h"
#include "common/Json.h"

namespace evt::tool {
namespace {

const char* const kPlaceholders[] = {"kind", "category", "keys", "data", "seqno", "server", "from", "pid"};

std::string joinedKeys(const std::vector<std::string>& keys) {
  std::string joined;
  for (std::size_t i = 0; i < keys.size(); ++i) joined += (i ? "," : "") + escaped(keys[i], ',');
  return joined;
}

// The value of one placeholder, as the text shape writes it.
std::string field(const Record& record, std::string_view name) {
  if (name == "kind") return record.kind;
  if (name == "category") return escaped(record.category);
  if (name == "keys") return joinedKeys(record.keys);
  if (name == "data") return escaped(record.data);
  if (name == "seqno") return std::to_string(record.seqNo);
  if (name == "server") return std::to_string(record.server);
  if (name == "from") return escaped(record.senderName);
  if (name == "pid") return std::to_string(record.senderPid);
  return std::string();
}

bool isEvent(const Record& record) { return record.kind == "event"; }

}  // namespace

std::vector<std::string> itemsOf(std::string_view list) {
  CEventLib::CParseList parsed{std::string(list)};
  std::vector<std::string> items;
  for (unsigned long i = 0; i < parsed.count(); ++i) items.push_back(parsed.getItem(i));
  return items;
}

std::string escaped(std::string_view text, char also) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '\\' || c == also) {
      out += "\\x";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xF]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string RecordPrinter::checkTemplate(const std::string& format) {
  for (std::size_t open = format.find('{'); open != std::string::npos; open = format.find('{', open + 1)) {
    const std::size_t close = format.find('}', open);
    if (close == std::string::npos) return "a '{' without its '}'";
    const std::string name = format.substr(open + 1, close - open - 1);
    bool known = false;
    for (const char* placeholder : kPlaceholders) known = known || name == placeholder;
    if (!known) return "unknown placeholder {" + name + "}";
  }
  return std::string();
}

std::string RecordPrinter::line(const Record& record) const {
  switch (m_shape) {
    case Shape::kJson: {
      std::string line = "{\"kind\":" + jsonString(record.kind) + ",\"category\":" + jsonString(record.category) +
                         ",\"keys\":[";
      for (std::size_t i = 0; i < record.keys.size(); ++i) line += (i ? "," : "") + jsonString(record.keys[i]);
      line += "],\"data\":" + jsonString(record.data) + ",\"seqno\":\"" + std::to_string(record.seqNo) +
              "\",\"server\":" + std::to_string(record.server);
      if (record.hasSender) {
        line += ",\"from\":" + jsonString(record.senderName) + ",\"pid\":" + std::to_string(record.senderPid);
      }
      return line + "}";
    }
    case Shape::kRaw:
      return record.data;
    case Shape::kTemplate: {
      std::string line;
      std::size_t at = 0;
      for (std::size_t open = m_format.find('{'); open != std::string::npos; open = m_format.find('{', at)) {
        const std::size_t close = m_format.find('}', open);
        line.append(m_format, at, open - at);
        line += field(record, std::string_view(m_format).substr(open + 1, close - open - 1));
        at = close + 1;
      }
      return line + m_format.substr(at);
    }
    case Shape::kText:
      break;
  }
  std::string line;
  if (record.kind == "connected" || record.kind == "disconnected") return "service " + record.kind;
  if (record.kind == "missed") {
    line = "missed-event category=" + escaped(record.category) + " seqno=" + std::to_string(record.seqNo);
  } else if (record.kind == "completion-id") {
    line = "completion-id id=" + escaped(record.data);
  } else {
    line = record.kind + " category=" + escaped(record.category);
    if (isEvent(record)) line += " seqno=" + std::to_string(record.seqNo);
  }
  if (record.kind != "completion-id") line += " server=" + std::to_string(record.server);
  if (isEvent(record)) line += " keys=" + joinedKeys(record.keys) + " data=" + escaped(record.data);
  if (record.hasSender) line += " from=" + escaped(record.senderName) + " pid=" + std::to_string(record.senderPid);
  return line;
}

void RecordPrinter::print(const Record& record) {
  std::lock_guard<std::mutex> hold(m_mutex);
  if (isEvent(record) && record.category != evt::protocol::kEventSystemCategory) {
    if (m_limit > 0 && m_events >= m_limit) return;
    ++m_events;
  }
  if (m_shape == Shape::kRaw && !isEvent(record)) {
    // Data only on standard output; a loss is still never silent.
    if (record.kind == "missed") {
      std::fprintf(stderr, "evt: missed events of %s before number %llu\n", escaped(record.category).c_str(),
                   record.seqNo);
    } else if (record.kind == "connected" || record.kind == "disconnected") {
      std::fprintf(stderr, "evt: service %s\n", record.kind.c_str());
    }
    return;
  }
  const std::string text = line(record);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

long RecordPrinter::events() {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_events;
}

bool makeShape(const OutputOptions& options, RecordPrinter::Shape* shape) {
  const int chosen = int(options.json) + int(options.raw) + int(!options.format.empty());
  if (chosen > 1) {
    std::fprintf(stderr, "evt: choose one of --json, --raw and --format\n");
    return false;
  }
  if (!options.format.empty()) {
    const std::string reason = RecordPrinter::checkTemplate(options.format);
    if (!reason.empty()) {
      std::fprintf(stderr, "evt: --format: %s\n", reason.c_str());
      return false;
    }
  }
  *shape = options.json ? RecordPrinter::Shape::kJson
           : options.raw ? RecordPrinter::Shape::kRaw
           : options.format.empty() ? RecordPrinter::Shape::kText
                                    : RecordPrinter::Shape::kTemplate;
  return true;
}

}  // namespace evt::tool
