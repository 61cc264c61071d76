#include "tools/evt/TopView.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace evt::tool::top {
namespace {

using Json = nlohmann::json;
using Rate = std::optional<double>;

// A counter as the dump writes it: a number, or a string of digits
// (sequence numbers, and counters too long for a JSON reader's double).
unsigned long long counter(const Json& value) {
  if (value.is_number_unsigned()) return value.get<unsigned long long>();
  if (value.is_string()) {
    const std::string& digits = value.get_ref<const std::string&>();
    if (!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos) return std::stoull(digits);
  }
  throw std::invalid_argument("not a counter: " + value.dump());
}

PairKey pairOf(const Json& entry) {
  return {static_cast<uint32_t>(counter(entry.at("server"))), entry.at("category").get<std::string>()};
}

// Text as a terminal shows it harmlessly: control characters (C0, DEL and
// C1, which a UTF-8 terminal takes as escapes too) become '?'.
std::string visible(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(text[i]);
    const bool c1 = byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (byte < 0x20 || byte == 0x7F || c1) {
      out += '?';
      i += c1 ? 1 : 0;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Columns a UTF-8 text takes (one for each character).
std::size_t columnsOf(const std::string& text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// The first `columns` characters of `text`.
std::string cut(const std::string& text, std::size_t columns) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && seen++ == columns) return text.substr(0, i);
  }
  return text;
}

// A rate with one decimal, or whole (milliseconds a second); "-" for none.
std::string rateText(Rate rate, bool whole = false) {
  if (!rate) return "-";
  char text[64];
  std::snprintf(text, sizeof text, whole ? "%.0f" : "%.1f", *rate);
  return text;
}

std::string uptimeText(long long ms) {
  const long long seconds = ms / 1000;
  char text[48];
  if (seconds >= 86400) {
    std::snprintf(text, sizeof text, "%lldd %02lld:%02lld:%02lld", seconds / 86400, seconds / 3600 % 24,
                  seconds / 60 % 60, seconds % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60, seconds % 60);
  }
  return text;
}

struct Column {
  const char* title;
  bool left;  // aligned left (names) rather than right (numbers)
};

// The title line and a line per row, each column as wide as its widest cell.
// When the lines would be wider than `width` (0: any), column `flexible`
// gives way down to 8 columns, its longer cells cut and marked '+'.
std::vector<std::string> table(const std::vector<Column>& columns, std::vector<std::vector<std::string>> rows,
                               std::size_t flexible, std::size_t width) {
  std::vector<std::size_t> widths;
  for (const Column& column : columns) widths.push_back(columnsOf(column.title));
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], columnsOf(row[i]));
  }
  std::size_t total = 2 * (columns.size() - 1);
  for (std::size_t w : widths) total += w;
  if (width != 0 && total > width && widths[flexible] > 8) {
    widths[flexible] -= std::min(total - width, widths[flexible] - 8);
    for (auto& row : rows) {
      if (columnsOf(row[flexible]) > widths[flexible]) row[flexible] = cut(row[flexible], widths[flexible] - 1) + "+";
    }
  }
  auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (std::size_t i = 0; i < cells.size(); ++i) {
      const std::string pad(widths[i] - columnsOf(cells[i]), ' ');
      if (i > 0) text += "  ";
      text += columns[i].left ? cells[i] + (i + 1 < cells.size() ? pad : "") : pad + cells[i];
    }
    return text;
  };
  std::vector<std::string> lines;
  std::vector<std::string> titles;
  for (const Column& column : columns) titles.push_back(column.title);
  lines.push_back(line(titles));
  for (const auto& row : rows) lines.push_back(line(row));
  return lines;
}

// Orders by the sort's figure, highest first (no rate below any), then by
// name and `tie`.
template <typename Row>
void sortRows(std::vector<Row>* rows, SortBy sort) {
  std::stable_sort(rows->begin(), rows->end(), [sort](const Row& a, const Row& b) {
    if (sort == SortBy::kRate && a.rate != b.rate) return a.rate.value_or(-1) > b.rate.value_or(-1);
    if (sort == SortBy::kPending && a.pending != b.pending) return a.pending > b.pending;
    if (a.name != b.name) return a.name < b.name;
    return a.tie < b.tie;
  });
}

struct CategoryRow {
  std::string name;
  uint64_t tie;  // server id
  Rate rate;
  uint64_t pending;  // held
  std::size_t subscribers;
};

struct ClientRow {
  std::string name;
  uint64_t tie;  // client number
  Rate rate;     // events in
  uint64_t pending;
  const ClientSample* client;
  Rate backpressure;
};

// A table's heading: its name and how many rows it has, or shows of them.
std::string heading(const char* name, std::size_t shown, std::size_t all) {
  return std::string(name) + " (" + (shown < all ? std::to_string(shown) + " of " : "") + std::to_string(all) + ")";
}

std::string intervalText(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%g s", seconds);
  return text;
}

}  // namespace

bool parseDump(const std::string& json, Sample* sample, std::string* error) {
  try {
    const Json dump = Json::parse(json);
    const Json& status = dump.at("status");
    Sample read;
    read.serverId = static_cast<uint32_t>(counter(status.at("server-id")));
    read.uptimeMs = static_cast<long long>(counter(status.at("uptime-ms")));
    read.clientCount = counter(status.at("clients"));
    read.eventsIn = counter(status.at("events-in"));
    read.eventsOut = counter(status.at("events-out"));
    read.held = counter(status.at("held"));
    read.backpressureMs = counter(status.at("backpressure-ms"));
    read.dropped = counter(status.at("dropped"));
    read.omitted = counter(dump.at("omitted"));
    for (const Json& entry : dump.at("clients")) {
      ClientSample client;
      client.number = counter(entry.at("number"));
      client.name = entry.at("name").get<std::string>();
      client.pid = entry.at("pid").get<int>();
      client.pending = counter(entry.at("pending"));
      client.dropped = counter(entry.at("dropped"));
      client.eventsIn = counter(entry.at("events-in"));
      client.backpressureMs = counter(entry.at("backpressure-ms"));
      client.monitor = entry.at("monitor").get<bool>();
      for (const Json& subscription : entry.at("subscribes")) ++read.pairs[pairOf(subscription)].subscribers;
      for (const Json& publication : entry.at("publishes")) read.pairs[pairOf(publication)];
      read.clients.push_back(std::move(client));
    }
    for (const Json& last : dump.at("last-events")) read.pairs[pairOf(last)].lastSeqNo = counter(last.at("seqno"));
    for (const Json& order : dump.at("order")) read.pairs[pairOf(order)].held = counter(order.at("held"));
    *sample = std::move(read);
    return true;
  } catch (const std::exception& e) {
    *error = std::string("not a dump of the service: ") + e.what();
    return false;
  }
}

const char* sortName(SortBy sort) {
  switch (sort) {
    case SortBy::kRate: return "rate";
    case SortBy::kName: return "name";
    case SortBy::kPending: return "pending";
  }
  return "rate";
}

std::optional<SortBy> sortNamed(const std::string& name) {
  for (SortBy sort : {SortBy::kRate, SortBy::kName, SortBy::kPending}) {
    if (name == sortName(sort)) return sort;
  }
  return std::nullopt;
}

SortBy nextSort(SortBy sort) {
  return sort == SortBy::kRate ? SortBy::kName : sort == SortBy::kName ? SortBy::kPending : SortBy::kRate;
}

std::vector<std::string> frame(const Sample* previous, const Sample& now, const Layout& layout) {
  // Rates need an earlier sample of the same run: one whose uptime is less.
  Rate elapsed;
  if (previous != nullptr && previous->serverId == now.serverId && now.uptimeMs > previous->uptimeMs) {
    elapsed = static_cast<double>(now.uptimeMs - previous->uptimeMs) / 1000;
  }
  // The rate of a counter since `before` (none: no earlier value); a
  // counter gone back reads as no change.
  auto rate = [&](std::optional<unsigned long long> before, unsigned long long after) -> Rate {
    if (!elapsed || !before) return Rate();
    return after > *before ? static_cast<double>(after - *before) / *elapsed : 0.0;
  };
  auto earlier = [previous](uint64_t Sample::*field) {
    return previous ? std::optional<unsigned long long>(previous->*field) : std::nullopt;
  };

  std::vector<std::string> lines;
  lines.push_back("evt top: server " + std::to_string(now.serverId) + ", up " + uptimeText(now.uptimeMs) + ", " +
                  std::to_string(now.clientCount) + " clients; sorted by " + sortName(layout.sort) + ", every " +
                  intervalText(layout.intervalSeconds) + (layout.keys ? " (s: sort, q: quit)" : ""));
  const Rate backpressure = rate(earlier(&Sample::backpressureMs), now.backpressureMs);
  lines.push_back("events in " + rateText(rate(earlier(&Sample::eventsIn), now.eventsIn)) + "/s (" +
                  std::to_string(now.eventsIn) + "), out " +
                  rateText(rate(earlier(&Sample::eventsOut), now.eventsOut)) + "/s (" +
                  std::to_string(now.eventsOut) + "); held " + std::to_string(now.held) + "; backpressure " +
                  rateText(backpressure, true) + " ms/s; dropped " + std::to_string(now.dropped));
  if (now.omitted != 0) lines.push_back("the dump left out " + std::to_string(now.omitted) + " entries");

  std::vector<CategoryRow> categories;
  for (const auto& [key, pair] : now.pairs) {
    // A pair's events are counted by its numbers: no number yet, no event
    // yet; a first number since the last sample, an unknown count.
    Rate pairRate = elapsed && !pair.lastSeqNo ? Rate(0.0) : Rate();
    if (pair.lastSeqNo && previous != nullptr) {
      const auto found = previous->pairs.find(key);
      if (found != previous->pairs.end() && found->second.lastSeqNo) {
        pairRate = rate(found->second.lastSeqNo, *pair.lastSeqNo);
      }
    }
    categories.push_back({visible(key.category), key.server, pairRate, pair.held, pair.subscribers});
  }
  std::vector<ClientRow> clients;
  std::map<uint64_t, const ClientSample*> before;
  if (previous != nullptr) {
    for (const ClientSample& client : previous->clients) before[client.number] = &client;
  }
  for (const ClientSample& client : now.clients) {
    const auto found = before.find(client.number);
    const ClientSample* then = found == before.end() ? nullptr : found->second;
    clients.push_back({visible(client.name) + (client.monitor ? " (monitor)" : ""), client.number,
                       rate(then ? std::optional<unsigned long long>(then->eventsIn) : std::nullopt, client.eventsIn),
                       client.pending, &client,
                       rate(then ? std::optional<unsigned long long>(then->backpressureMs) : std::nullopt,
                            client.backpressureMs)});
  }
  sortRows(&categories, layout.sort);
  sortRows(&clients, layout.sort);

  // Each table gets the rows it has, up to layout.rows, as far as the
  // height allows; when both want more than there is, each gets half and
  // what one leaves goes to the other.
  const std::size_t most = layout.rows == 0 ? SIZE_MAX : layout.rows;
  std::size_t categoryRows = std::min(categories.size(), most), clientRows = std::min(clients.size(), most);
  const std::size_t fixed = lines.size() + 6;  // a blank line, a heading and the titles before each table
  if (layout.height != 0) {
    const std::size_t room = layout.height > fixed ? layout.height - fixed : 0;
    if (categoryRows + clientRows > room) {
      const std::size_t half = room / 2;
      if (clientRows <= half) {
        categoryRows = room - clientRows;
      } else if (categoryRows <= room - half) {
        clientRows = room - categoryRows;
      } else {
        categoryRows = room - half;
        clientRows = half;
      }
    }
  }

  std::vector<std::vector<std::string>> cells;
  for (std::size_t i = 0; i < categoryRows; ++i) {
    const CategoryRow& row = categories[i];
    cells.push_back({std::to_string(row.tie), row.name, rateText(row.rate), std::to_string(row.subscribers),
                     std::to_string(row.pending)});
  }
  lines.push_back("");
  lines.push_back(heading("categories", categoryRows, categories.size()));
  for (std::string& line : table({{"SERVER", false}, {"CATEGORY", true}, {"EVENTS/S", false}, {"SUBSCRIBERS", false},
                                  {"HELD", false}},
                                 std::move(cells), 1, layout.width)) {
    lines.push_back(std::move(line));
  }
  cells.clear();
  for (std::size_t i = 0; i < clientRows; ++i) {
    const ClientRow& row = clients[i];
    cells.push_back({std::to_string(row.tie), row.name, std::to_string(row.client->pid), rateText(row.rate),
                     std::to_string(row.pending), std::to_string(row.client->dropped),
                     rateText(row.backpressure, true)});
  }
  lines.push_back("");
  lines.push_back(heading("clients", clientRows, clients.size()));
  for (std::string& line : table({{"CLIENT", false}, {"NAME", true}, {"PID", false}, {"EVENTS-IN/S", false},
                                  {"PENDING", false}, {"DROPPED", false}, {"BACKPRESSURE-MS/S", false}},
                                 std::move(cells), 1, layout.width)) {
    lines.push_back(std::move(line));
  }

  if (layout.height != 0 && lines.size() > layout.height) lines.resize(layout.height);
  if (layout.width != 0) {
    for (std::string& line : lines) line = cut(line, layout.width);
  }
  return lines;
}

std::vector<std::string> notConnectedFrame(const std::string& endpoint, const std::string& reason,
                                           const Layout& layout) {
  std::vector<std::string> lines{"evt top: not connected to " + visible(endpoint) + "; retrying every " +
                                 intervalText(layout.intervalSeconds) + (layout.keys ? " (q: quit)" : "")};
  if (!reason.empty()) lines.push_back(visible(reason));
  if (layout.height != 0 && lines.size() > layout.height) lines.resize(layout.height);
  if (layout.width != 0) {
    for (std::string& line : lines) line = cut(line, layout.width);
  }
  return lines;
}

}  // namespace evt::tool::top
