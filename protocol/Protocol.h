// What the client library, the service, the evt tool and the tests share
// about the wire: the service's endpoint, the commands and their answer
// mark, the limits, the names of the requests and the layout of each. Private
// to this tree (not installed). Texts built here are byte for byte what the
// library has always sent; 32-bit numbers (server ids, completion ids)
// travel as signed decimal items in both builds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class ParamsView;

// Commands sent to the service, carried in word 0 of the channel header.
enum CECMD : uint32_t {
  CECMD_QUEUE = 1,        // a list of request lists; answer ignored
  CECMD_SERVER_ID = 3,    // answer: this client's server id as decimal text
  CECMD_CLIENT_NAME = 4,  // register the client name; answer ignored
  CECMD_PROCESS_ID = 5,   // register the process id; answer ignored
};

// Word 1 of the header of every answer to a service request.
constexpr uint32_t kServiceAnswerMark = 6;
// A queue longer than this leaves in several CECMD_QUEUE exchanges, cut
// between requests, so that every exchange stays bounded (one request may be
// longer; the channel's frame limit is 64 MiB).
constexpr std::size_t kMaxQueueText = 1024u * 1024u;

// Channel endpoint of the event service.
constexpr const char* kServiceChannelName = "ZebEventSystem";
constexpr const char* kServiceChannelId = "73374210-F994-4d15-A4C2-A4F73865998E";

namespace evt::protocol {

// The service's own commands, sent by tools on the same channel; codes
// below 100 belong to the library.
constexpr uint32_t kCommandStatus = 100;  // answer text: "key value" lines of counters
constexpr uint32_t kCommandDump = 101;    // answer text: every client's state; also logged
// Text "json": the same as one JSON object, not logged.
// From then on the client is sent a "monitored" request for every event the
// service accepts (text "notices": also for every subscribe, unsubscribe,
// publish, retract and completion-id). A monitor never holds a publisher back;
// copies its queue has no room for are dropped and counted.
constexpr uint32_t kCommandMonitor = 102;  // answer: empty

// Request names, item 0 of every request list, matched exactly.
inline constexpr std::string_view kSubscribe = "subscribe";
inline constexpr std::string_view kUnsubscribe = "unsubscribe";
inline constexpr std::string_view kPublish = "publish";
inline constexpr std::string_view kRetract = "retract";
inline constexpr std::string_view kEvent = "event";
inline constexpr std::string_view kCompletionId = "completion-id";
inline constexpr std::string_view kCompleted = "completed";
inline constexpr std::string_view kCheckEventSeqNo = "check-event-seqno";
inline constexpr std::string_view kSetSeqNoBase = "set-seqno-base";
inline constexpr std::string_view kDump = "dump";
inline constexpr std::string_view kReportConnectivity = "reportconnectivity";
inline constexpr std::string_view kMonitored = "monitored";

// The category of the service's own events ("connected", "disconnected")
// and of the library's "missed-event" reports.
inline constexpr std::string_view kEventSystemCategory = "eventsystem";
// The data of a missed-event report: an "eventsystem" event whose keys are a
// one-item list of the category that lost events.
inline constexpr std::string_view kMissedEventData = "missed-event";

// Building requests. Each returns the text of one request list.

// [server, category]: the fields of "subscribe" and "unsubscribe", and the
// key the library files subscriptions under.
std::string subscriptionKey(uint32_t server, std::string_view category);
// [subscribe | unsubscribe, key]
std::string subscriptionRequest(std::string_view name, std::string_view key);
// [publish | retract, [category, server]]: a host's announcement, and the
// service's notice to subscribers.
std::string publicationRequest(std::string_view name, std::string_view category, uint32_t server);
// ["event", [category, keys, data, server], seqNo], written over *out in
// one pass (the data is copied once). *out keeps its storage, so a caller
// that keeps it allocates nothing from event to event.
void writeEventRequest(std::string* out, std::string_view category, std::string_view keys, std::string_view data,
                       uint32_t server, unsigned long long seqNo);
// ["completion-id", [id]]
std::string completionIdRequest(uint32_t id);
// ["completed", [first, second]]
std::string completedRequest(uint32_t first, uint32_t second);
// ["check-event-seqno", [category, seqNo], server]
std::string checkEventSeqNoRequest(std::string_view category, unsigned long long seqNo, uint32_t server);
// ["set-seqno-base", base, server]
std::string setSeqNoBaseRequest(unsigned long long base, uint32_t server);
// ["dump"]
std::string dumpRequest();
// ["reportconnectivity", [value]]
std::string connectivityRequest(uint32_t value);
// ["monitored", request, [sender name, sender pid], dropped]: a copy of a
// client's request for a monitor; `dropped` counts the copies this monitor
// lost so far.
void writeMonitoredRequest(std::string* out, std::string_view request, std::string_view senderName, int senderPid,
                           unsigned long long dropped);

// Reading requests: `request` is one request list, read; the views point
// into its text. Missing items read as empty text or 0.

// The request's name, item 0.
std::string_view nameOf(const ParamsView& request);

// What a request is, by its name: what the service and the library dispatch on.
enum class RequestKind {
  Unknown,
  Subscribe,
  Unsubscribe,
  Publish,
  Retract,
  Event,
  CompletionId,
  Completed,
  CheckEventSeqNo,
  SetSeqNoBase,
  Dump,
  ReportConnectivity,
  Monitored,
};
RequestKind kindOf(const ParamsView& request);

// Whether `text`, a list of request lists, holds "completed" requests and
// nothing else. Stops at the first other request, so a text of events costs
// one item read.
bool holdsOnlyCompletions(std::string_view text);

struct Subscription {  // subscribe, unsubscribe
  uint32_t server;
  std::string_view category;
  bool complete;  // both fields present
};
Subscription readSubscription(const ParamsView& request);

struct Publication {  // publish, retract
  std::string_view category;
  uint32_t server;
  bool complete;  // both fields present and a category
};
Publication readPublication(const ParamsView& request);

struct Event {
  std::string_view category, keys, data;
  uint32_t server;
  unsigned long long seqNo;
  bool complete;  // all four fields present
};
Event readEvent(const ParamsView& request);

struct Check {  // check-event-seqno
  std::string_view category;
  unsigned long long seqNo;
  uint32_t server;
};
Check readCheck(const ParamsView& request);

struct Base {  // set-seqno-base
  unsigned long long base;
  uint32_t server;
};
Base readBase(const ParamsView& request);

struct Completion {  // completed; completion-id carries `first` alone
  uint32_t first;
  uint32_t second;
};
Completion readCompletion(const ParamsView& request);

// reportconnectivity
uint32_t readConnectivity(const ParamsView& request);

struct Monitored {
  std::string_view request;  // the client's request list
  std::string_view senderName;
  int senderPid;
  unsigned long long dropped;
};
Monitored readMonitored(const ParamsView& request);

}  // namespace evt::protocol
