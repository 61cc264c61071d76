// The evt commands. Each returns the process's exit status: 0 done, 1 failed
// (reason printed), 2 bad usage.
#pragma once

#include <string>
#include <vector>

#include "tools/evt/EventOutput.h"

namespace evt::tool {

struct PublishOptions {
  std::string category;
  std::vector<std::string> keysAndData;  // [KEYS] DATA; no DATA or "-": lines from stdin
  bool fromStdin = false;                // --stdin: every argument after CATEGORY is KEYS
  long count = 1;                        // each data this many times
  double rate = 0;                       // events per second, 0: as fast as possible
  double waitSeconds = 3;                // for the service to accept us
  bool quiet = false;
};
int publishEvents(const PublishOptions& options);

// What the commands that print records as they come share.
struct WatchOptions {
  long count = 0;             // stop after this many events (0: no limit)
  double timeoutSeconds = 0;  // stop after this long (0: no limit)
  OutputOptions output;
  double waitSeconds = 3;     // for the service (its socket may appear meanwhile)
};

struct SubscribeOptions {
  std::string category;  // empty with `all`
  std::string keys;      // comma-separated patterns; empty matches every event
  bool all = false;      // every category of this machine, new ones included
  long long serverId = -1;
  WatchOptions watch;
};
int subscribeEvents(const SubscribeOptions& options);

struct MonitorOptions {
  std::string pattern = "*";  // categories shown, a shell pattern
  bool notices = false;       // also subscriptions, publications, completion ids
  WatchOptions watch;
};
int monitorService(const MonitorOptions& options);

// Sends the service one of its own commands and prints the answer; with
// `json` as one JSON object.
struct QueryOptions {
  unsigned command;
  bool json = false;
  double waitSeconds = 3;
};
int queryService(const QueryOptions& options);

// Completion round trips: each sends an empty batch with a completion id and
// times the service's confirmation; prints each and, for several, their
// statistics.
int completeRoundTrips(double waitSeconds, long count, double intervalSeconds);

// A live view of the service, redrawn each interval from its dump: traffic,
// categories and clients with their rates (tools/evt/TopView.h).
struct TopOptions {
  double intervalSeconds = 1;
  long count = 0;             // refreshes before exiting (0: until q or an interrupt)
  std::string sort = "rate";  // "rate", "name" or "pending"
  long rows = 0;              // rows of each table (0: as many as fit)
};
int showTop(const TopOptions& options);

int encodeList(const std::string& header, const std::vector<std::string>& items);
int decodeList(const std::string& text);
int lockMutex(const std::string& name);

// "a,b" -> the parameter list [a, b]; "" -> the empty list.
std::string keysList(const std::string& commaSeparated);

}  // namespace evt::tool
