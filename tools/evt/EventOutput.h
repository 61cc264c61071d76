// How evt writes what it receives, one line per record: events, missed-event
// reports, the service going away and coming back, and what a monitor sees.
// Shapes: text (escaped, so each record stays one line), JSON (one object
// shape for every kind), raw (event data only, as it came) or a template.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace evt::tool {

struct Record {
  std::string kind;  // "event", "missed", "connected", "disconnected", or a monitored request's name
  std::string category;
  std::vector<std::string> keys;
  std::string data;
  unsigned long long seqNo = 0;
  uint32_t server = 0;
  bool hasSender = false;  // a monitor's record: who sent it
  std::string senderName;
  int senderPid = 0;
};

// A parameter list's items.
std::vector<std::string> itemsOf(std::string_view list);
// `text` with control characters, the backslash and `also` written as \xNN.
std::string escaped(std::string_view text, char also = '\\');

class RecordPrinter {
 public:
  enum class Shape { kText, kJson, kRaw, kTemplate };

  // Checks a --format template: placeholders {kind} {category} {keys} {data}
  // {seqno} {server} {from} {pid}. Empty when good, else the reason.
  static std::string checkTemplate(const std::string& format);

  // `limit`: events written at most (0: no limit).
  RecordPrinter(Shape shape, std::string format = std::string(), long limit = 0)
      : m_shape(shape), m_format(std::move(format)), m_limit(limit) {}

  // Writes the record (thread-safe); counts events, and writes none past
  // the limit.
  void print(const Record& record);
  long events();

 private:
  std::string line(const Record& record) const;

  const Shape m_shape;
  const std::string m_format;
  const long m_limit;
  std::mutex m_mutex;
  long m_events = 0;
};

// Output options of the commands that print records.
struct OutputOptions {
  bool json = false;
  bool raw = false;
  std::string format;
  bool quiet = false;  // no progress lines on stderr
};
// The printer the options ask for; false (reason printed) when they conflict.
bool makeShape(const OutputOptions& options, RecordPrinter::Shape* shape);

}  // namespace evt::tool
