// The federation over a NATS cluster (libnats): each eventd is one server
// among several, each with its own server id.
//
// On NATS, under "evt.fed.":
//   hello                 every server, every second: [server id, instance,
//                         start time, sequence-number base]. A server not
//                         heard for 3.5 s is gone.
//   interest.S            to server S: [follower id, follower instance,
//                         "follow" | "unfollow", category...]; refreshed
//                         every second, forgotten by S after 3.5 s.
//   pair.S.TOKEN          server S's requests of one category, in order
//                         (events and publish/retract notices), batched as
//                         one request list per message. Sent only while
//                         some server follows the pair. TOKEN spells the
//                         category injectively in subject characters.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "eventd/Federation.h"

namespace evt::service {

class FederationBridge;

struct FederationOptions {
  std::string urls;  // "nats://host:port", several joined by ','
  uint32_t serverId = 1;
  unsigned long long seqNoBase = 0;
};

// Joins the cluster, connecting in the background and again after every
// loss. Null with *error set when the options cannot be used. `bridge`
// outlives the link.
std::unique_ptr<Federation> startNatsFederation(const FederationOptions& options, FederationBridge& bridge,
                                                std::string* error);

// The subject token of a category: "c", then each byte of [A-Za-z0-9_-]
// as it is and every other byte as '~' and two hex digits.
std::string categoryToken(std::string_view category);
// The category a token spells; false for text no category gives.
bool categoryFromToken(std::string_view token, std::string* category);

}  // namespace evt::service
