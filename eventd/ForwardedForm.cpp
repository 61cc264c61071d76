#include "eventd/ForwardedForm.h"

#include "Utilities/ParamsView.h"
#include "protocol/Protocol.h"

namespace evt::service::forwarded {

void append(std::string* message, std::string_view request, unsigned long long* lastSeqNo,
            const evt::protocol::Event* read) {
  evt::protocol::Event event{};
  if (read != nullptr) {
    event = *read;
  } else {
    const ParamsView list(request);
    if (evt::protocol::nameOf(list) == evt::protocol::kEvent) event = evt::protocol::readEvent(list);
  }
  if (!event.complete || event.seqNo == 0) {
    params::appendItem(message, request);
    return;
  }
  thread_local std::string item;  // storage kept from event to event
  item.clear();
  params::appendItem(&item, kEvent);
  params::appendItem(&item, event.keys);
  params::appendItem(&item, event.data);
  if (*lastSeqNo != 0 && event.seqNo == *lastSeqNo + 1) {
    params::appendItem(&item, std::string_view());
  } else {
    params::appendNumberItem(&item, event.seqNo);
  }
  *lastSeqNo = event.seqNo;
  params::appendItem(message, item);
}

bool expand(const Pair& pair, std::string_view item, unsigned long long* lastSeqNo, std::string* rebuilt,
            std::string_view* request, evt::protocol::Event* event) {
  *request = item;
  event->complete = false;
  const ParamsView list(item);
  if (list.count() == 0 || list.itemAt(0) != kEvent) return true;
  if (list.count() != 4) return false;
  const std::string_view step = list.itemAt(3);
  unsigned long long seqNo = 0;
  if (step.empty()) {
    if (*lastSeqNo == 0) return false;
    seqNo = *lastSeqNo + 1;
  } else {
    seqNo = params::toULongLong(step);
    if (seqNo == 0) return false;
  }
  *lastSeqNo = seqNo;
  evt::protocol::writeEventRequest(rebuilt, pair.category, list.itemAt(1), list.itemAt(2), pair.server, seqNo);
  *request = *rebuilt;
  *event = evt::protocol::Event{pair.category, list.itemAt(1), list.itemAt(2), pair.server, seqNo, true};
  return true;
}

}  // namespace evt::service::forwarded
