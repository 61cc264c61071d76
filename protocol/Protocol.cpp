#include "protocol/Protocol.h"

#include <charconv>

#include "Utilities/ParamsView.h"

namespace evt::protocol {
namespace {

void appendId(std::string* list, uint32_t value) { params::appendNumberItem(list, static_cast<int32_t>(value)); }
uint32_t idAt(const ParamsView& list, std::size_t index) { return static_cast<uint32_t>(list.getLongParamAt(index)); }

// "length;" of an item, and the whole item "length;value", with no ';'
// before them (the caller joins items).
void putLength(std::string* out, std::size_t length) {
  char digits[24];
  out->append(digits, std::to_chars(digits, digits + sizeof digits, length).ptr);
  out->push_back(';');
}
void putItem(std::string* out, std::string_view value) {
  putLength(out, value.size());
  out->append(value.data(), value.size());
}
std::size_t itemSize(std::string_view value) {
  char digits[24];
  return static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, value.size()).ptr - digits) + 1 +
         value.size();
}

// [name, fields]
std::string request(std::string_view name, std::string_view fields) {
  std::string text;
  text.reserve(name.size() + fields.size() + 16);
  params::appendItem(&text, name);
  params::appendItem(&text, fields);
  return text;
}

}  // namespace

std::string subscriptionKey(uint32_t server, std::string_view category) {
  std::string key;
  key.reserve(category.size() + 24);
  appendId(&key, server);
  params::appendItem(&key, category);
  return key;
}

std::string subscriptionRequest(std::string_view name, std::string_view key) { return request(name, key); }

std::string publicationRequest(std::string_view name, std::string_view category, uint32_t server) {
  std::string fields;
  params::appendItem(&fields, category);
  appendId(&fields, server);
  return request(name, fields);
}

void writeEventRequest(std::string* out, std::string_view category, std::string_view keys, std::string_view data,
                       uint32_t server, unsigned long long seqNo) {
  char id[16];
  const std::string_view idText(id, static_cast<std::size_t>(
                                        std::to_chars(id, id + sizeof id, static_cast<int32_t>(server)).ptr - id));
  // The fields item's length prefix comes first, so its length is counted
  // rather than the fields built apart and copied in.
  const std::size_t fieldsSize = itemSize(category) + itemSize(keys) + itemSize(data) + itemSize(idText) + 3;
  out->clear();
  params::appendItem(out, kEvent);
  out->push_back(';');
  putLength(out, fieldsSize);
  putItem(out, category);
  out->push_back(';');
  putItem(out, keys);
  out->push_back(';');
  putItem(out, data);
  out->push_back(';');
  putItem(out, idText);
  params::appendNumberItem(out, seqNo);
}

std::string completionIdRequest(uint32_t id) {
  std::string fields;
  appendId(&fields, id);
  return request(kCompletionId, fields);
}

std::string completedRequest(uint32_t first, uint32_t second) {
  std::string fields;
  appendId(&fields, first);
  appendId(&fields, second);
  return request(kCompleted, fields);
}

std::string checkEventSeqNoRequest(std::string_view category, unsigned long long seqNo, uint32_t server) {
  std::string fields;
  params::appendItem(&fields, category);
  params::appendNumberItem(&fields, seqNo);
  std::string text = request(kCheckEventSeqNo, fields);
  appendId(&text, server);
  return text;
}

std::string setSeqNoBaseRequest(unsigned long long base, uint32_t server) {
  std::string text;
  params::appendItem(&text, kSetSeqNoBase);
  params::appendNumberItem(&text, base);
  appendId(&text, server);
  return text;
}

std::string dumpRequest() {
  std::string text;
  params::appendItem(&text, kDump);
  return text;
}

std::string connectivityRequest(uint32_t value) {
  std::string fields;
  appendId(&fields, value);
  return request(kReportConnectivity, fields);
}

void writeMonitoredRequest(std::string* out, std::string_view request, std::string_view senderName, int senderPid,
                           unsigned long long dropped) {
  std::string sender;
  params::appendItem(&sender, senderName);
  params::appendNumberItem(&sender, static_cast<int32_t>(senderPid));
  out->clear();
  params::appendItem(out, kMonitored);
  params::appendItem(out, request);
  params::appendItem(out, sender);
  params::appendNumberItem(out, dropped);
}

std::string_view nameOf(const ParamsView& request) { return request.itemAt(0); }

RequestKind kindOf(const ParamsView& request) {
  struct Named {
    std::string_view name;
    RequestKind kind;
  };
  // Events first: nearly every request is one.
  static constexpr Named kNames[] = {
      {kEvent, RequestKind::Event},
      {kCompleted, RequestKind::Completed},
      {kCheckEventSeqNo, RequestKind::CheckEventSeqNo},
      {kSubscribe, RequestKind::Subscribe},
      {kUnsubscribe, RequestKind::Unsubscribe},
      {kPublish, RequestKind::Publish},
      {kRetract, RequestKind::Retract},
      {kCompletionId, RequestKind::CompletionId},
      {kSetSeqNoBase, RequestKind::SetSeqNoBase},
      {kDump, RequestKind::Dump},
      {kReportConnectivity, RequestKind::ReportConnectivity},
      {kMonitored, RequestKind::Monitored},
  };
  const std::string_view name = nameOf(request);
  for (const Named& entry : kNames) {
    if (name == entry.name) return entry.kind;
  }
  return RequestKind::Unknown;
}

bool holdsOnlyCompletions(std::string_view text) {
  std::size_t offset = 0;
  while (offset < text.size()) {
    std::size_t prefix = 0, value = 0, namePrefix = 0, nameValue = 0;
    if (!params::readPrefix(text, offset, &prefix, &value)) return false;
    const std::string_view request = text.substr(offset + prefix, value);
    if (!params::readPrefix(request, 0, &namePrefix, &nameValue)) return false;
    if (request.substr(namePrefix, nameValue) != kCompleted) return false;
    offset += prefix + value + 1;  // past the ';' that joins the next list
  }
  return offset > 0;
}

Subscription readSubscription(const ParamsView& request) {
  const ParamsView fields(request.itemAt(1));
  return Subscription{idAt(fields, 0), fields.itemAt(1), fields.count() >= 2};
}

Publication readPublication(const ParamsView& request) {
  const ParamsView fields(request.itemAt(1));
  return Publication{fields.itemAt(0), idAt(fields, 1), fields.count() >= 2 && !fields.itemAt(0).empty()};
}

Event readEvent(const ParamsView& request) {
  const ParamsView fields(request.itemAt(1));
  return Event{fields.itemAt(0), fields.itemAt(1), fields.itemAt(2), idAt(fields, 3), request.getULONGLONGParamAt(2),
               fields.count() >= 4};
}

Check readCheck(const ParamsView& request) {
  const ParamsView fields(request.itemAt(1));
  return Check{fields.itemAt(0), fields.getULONGLONGParamAt(1), idAt(request, 2)};
}

Base readBase(const ParamsView& request) { return Base{request.getULONGLONGParamAt(1), idAt(request, 2)}; }

Completion readCompletion(const ParamsView& request) {
  const ParamsView fields(request.itemAt(1));
  return Completion{idAt(fields, 0), idAt(fields, 1)};
}

uint32_t readConnectivity(const ParamsView& request) { return idAt(ParamsView(request.itemAt(1)), 0); }

Monitored readMonitored(const ParamsView& request) {
  const ParamsView sender(request.itemAt(2));
  return Monitored{request.itemAt(1), sender.itemAt(0), static_cast<int>(sender.getLongParamAt(1)),
                   request.getULONGLONGParamAt(3)};
}

}  // namespace evt::protocol
