// The federation over a NATS cluster (libnats): each eventd is one server
// among several, each with its own server id. What it says there is in
// FederationWire.h; NatsLink.h holds the connection and libnats's threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "eventd/Federation.h"
#include "eventd/FederationWire.h"

namespace evt::service {

class FederationBridge;
class SeriesFloors;

struct FederationOptions {
  std::string urls;  // "nats://host:port", several joined by ','
  uint32_t serverId = 1;
  unsigned long long seqNoBase = 0;
  FederationStream stream;
  // With a stream: where each followed pair stands in its server's stream,
  // kept for the next eventd (null: not kept). Not owned.
  SeriesFloors* streamPositions = nullptr;
  // With a stream: which other servers follow this server's pairs, and until
  // when (ms since the epoch), kept for the next eventd: what its hosts send
  // before those servers are heard again still goes into the stream for
  // them (null: not kept). Not owned.
  SeriesFloors* followerLeases = nullptr;
};

// Joins the cluster, connecting in the background and again after every
// loss. Null with *error set when the options cannot be used. `bridge`
// outlives the link.
std::unique_ptr<Federation> startNatsFederation(const FederationOptions& options, FederationBridge& bridge,
                                                std::string* error);

}  // namespace evt::service
