// What evt top shows: a sample of the service's state read from its dump
// (the text of `evt dump --json`), and the frame drawn from two successive
// samples, their counters turned into rates per second and fitted to a
// terminal. No input or output here: TopCommand.cpp polls and draws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace evt::tool::top {

struct ClientSample {
  uint64_t number = 0;  // the service's number for the connection, never reused while it runs
  std::string name;
  int pid = 0;
  uint64_t pending = 0, dropped = 0, eventsIn = 0, backpressureMs = 0;
  bool monitor = false;
};

// A (server id, category) pair.
struct PairKey {
  uint32_t server = 0;
  std::string category;
  bool operator<(const PairKey& other) const {
    return server != other.server ? server < other.server : category < other.category;
  }
};

struct PairSample {
  std::optional<unsigned long long> lastSeqNo;  // of the last event the service took for it
  uint64_t held = 0;                            // events held for their number's turn
  std::size_t subscribers = 0;
};

struct Sample {
  uint32_t serverId = 0;
  long long uptimeMs = 0;
  uint64_t clientCount = 0;
  uint64_t eventsIn = 0, eventsOut = 0, held = 0, backpressureMs = 0, dropped = 0;
  uint64_t omitted = 0;  // entries the dump left out
  std::vector<ClientSample> clients;
  std::map<PairKey, PairSample> pairs;  // every pair with a last event, an order state, a subscriber or a publisher
};

// Reads a dump's JSON text into *sample. False, with the reason in *error,
// when the text is not a dump.
bool parseDump(const std::string& json, Sample* sample, std::string* error);

enum class SortBy { kRate, kName, kPending };
// "rate", "name", "pending".
const char* sortName(SortBy sort);
std::optional<SortBy> sortNamed(const std::string& name);
// The next order the s key switches to.
SortBy nextSort(SortBy sort);

struct Layout {
  std::size_t width = 0;   // columns of a line; 0: any
  std::size_t height = 0;  // lines of the frame; 0: any
  std::size_t rows = 0;    // rows of each table; 0: as many as fit
  SortBy sort = SortBy::kRate;
  double intervalSeconds = 1;
  bool keys = false;  // tell the keys in the header
};

// The frame of `now`, rates taken against `previous` (null, or an earlier
// sample of the same run of the service; without it rates show as "-"):
// two header lines (a third when the dump was cut short), then the
// categories and the clients, each table as long as the layout allows.
std::vector<std::string> frame(const Sample* previous, const Sample& now, const Layout& layout);
// The frame while the service at `endpoint` cannot be reached.
std::vector<std::string> notConnectedFrame(const std::string& endpoint, const std::string& reason,
                                           const Layout& layout);

}  // namespace evt::tool::top
