// What eventd's federation says on NATS, under "evt.fed.":
//   hello                 every server, every second: [server id, instance,
//                         start time, sequence-number base, asks]. A server
//                         not heard for 3.5 s is gone. `asks` (1) is set in
//                         the first hello after the link came: every server
//                         hearing it says hello at once, so that a returning
//                         server soon knows them all again.
//   interest.S            to server S: [follower id, follower instance,
//                         "follow" | "unfollow", category...]; refreshed
//                         every second, forgotten by S after 3.5 s.
//   pair.S.TOKEN          server S's requests of one category, in order
//                         (events and publish/retract notices), batched as
//                         one request list per message (ForwardedForm.h).
//                         Sent only while some server follows the pair.
//                         Every second the pair's state follows its events:
//                         "publish" or "retract", and a "check-event-seqno"
//                         of the last number sent.
//                         TOKEN spells the category injectively in subject
//                         characters.
// With a stream, server S's pair messages are kept in the JetStream stream
// EVT-FED-S, placed on a NATS server tagged evt-server-S where one is.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Utilities/ParamsView.h"
#include "eventd/ClientSession.h"

namespace evt::service {

inline constexpr const char* kHelloSubject = "evt.fed.hello";
std::string interestSubject(uint32_t server);
bool isInterestSubject(std::string_view subject);
std::string pairSubject(const Pair& pair);
bool isPairSubject(std::string_view subject);
// The stream of server S's pair messages: its name, subjects and placement tag.
std::string streamName(uint32_t server);
std::string streamSubjects(uint32_t server);
std::string streamPlacementTag(uint32_t server);
// The pair a pair subject names; false when it names none.
bool pairOfSubject(std::string_view subject, Pair* pair);
// NATS bounds a protocol line (4 KiB by default); a subject stays well inside.
constexpr std::size_t kMaxSubject = 3000;

// The subject token of a category: "c", then each byte of [A-Za-z0-9_-]
// as it is and every other byte as '~' and two hex digits.
std::string categoryToken(std::string_view category);
// The category a token spells; false for text no category gives.
bool categoryFromToken(std::string_view token, std::string* category);

struct Hello {
  uint32_t server = 0;
  uint64_t instance = 0;  // tells a run from an earlier or a duplicate one
  uint64_t started = 0;   // ms since the epoch
  unsigned long long seqNoBase = 0;
  bool asks = false;  // every server hearing it answers with its own hello now
};
std::string helloMessage(const Hello& hello);
// False for a message that is no hello.
bool readHello(const ParamsView& items, Hello* hello);

constexpr std::string_view kFollow = "follow";
constexpr std::string_view kUnfollow = "unfollow";
// An interest message without its categories, which follow as items.
std::string interestHeader(uint32_t server, uint64_t instance, std::string_view kind);
struct Interest {
  uint32_t server = 0;  // the follower's
  uint64_t instance = 0;
  std::string_view kind;
  static constexpr std::size_t kFirstCategory = 3;  // the item its categories begin at
};
Interest readInterest(const ParamsView& items);

}  // namespace evt::service
