// The form in which a server's requests of one pair travel to the servers
// that follow it, in messages that each hold a list of them in number order.
// A notice goes as it is. An event goes as ["e", keys, data, number]: the
// pair (its server and category) is what the message is addressed to, and
// the number is left empty when it is one more than the event's before it
// in the same message. That spares a quarter of the bytes of small events.
#pragma once

#include <string>
#include <string_view>

#include "eventd/ClientSession.h"
#include "protocol/Protocol.h"

namespace evt::service::forwarded {

// The name of an event in this form; no request of the service is so named.
constexpr std::string_view kEvent = "e";

// Appends `request` (an event or a notice of a pair, as clients send them)
// to `message`. `lastSeqNo` is the number of the message's last event, 0 for
// a message begun anew; it is brought up to date. `event`, when not null, is
// `request` already read.
void append(std::string* message, std::string_view request, unsigned long long* lastSeqNo,
            const evt::protocol::Event* event = nullptr);

// One item of a message for `pair` as the request it stands for: an event
// in this form is rebuilt into *rebuilt, *request points there and *event
// holds its fields (its keys and data views into `item`); anything else is
// left as it is, with event->complete false. `lastSeqNo` as for append, on
// the receiving side. False for an event in this form that cannot be read.
bool expand(const Pair& pair, std::string_view item, unsigned long long* lastSeqNo, std::string* rebuilt,
            std::string_view* request, evt::protocol::Event* event);

}  // namespace evt::service::forwarded
