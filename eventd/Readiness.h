// Tells a service manager how eventd stands, through the datagram socket it
// names in $NOTIFY_SOCKET ("READY=1" once clients can connect, "STOPPING=1"
// when stopping). Without that variable nothing is sent.
#pragma once

#include <string>

namespace evt::service {

// Sends the "KEY=value" lines of `state`; false when a manager is named but
// could not be told.
bool notifyServiceManager(const std::string& state);

}  // namespace evt::service
