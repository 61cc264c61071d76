// The C interface (evt.h) over CEventLib. Each call catches everything, so a
// C++ exception never unwinds into C: the constructor's KelException becomes
// its code, an allocation failure EVT_E_CREATE.
#include "Library/evt.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "Library/CEResultCodes.h"
#include "Library/CEventLib.h"
#include "Utilities/ParamsView.h"
#include "trace/KelException.h"

static_assert(EVT_E_CREATE == CE_E_CREATE && EVT_E_NOT_CONNECTED == CE_E_NOT_CONNECTED &&
                  EVT_E_THREAD == CE_E_THREAD && EVT_E_STOPPING == CE_E_STOPPING &&
                  EVT_E_INVALID_TEXT == CE_E_INVALID_TEXT && EVT_E_STORE_BUSY == CE_E_STORE_BUSY &&
                  EVT_E_STORE_DAMAGED == CE_E_STORE_DAMAGED && EVT_E_ACCESS_DENIED == CE_E_ACCESS_DENIED &&
                  EVT_E_IN_HANDLER == CE_E_IN_HANDLER && EVT_E_INVALID_ARGUMENT == CE_E_INVALID_ARGUMENT &&
                  EVT_E_MALFORMED_LIST == CE_E_MALFORMED_LIST,
              "the C codes are the library's codes");

// The client object and the three handlers that turn its calls into the
// host's callbacks. Owned by the host through evt_client_create/destroy.
struct evt_client final : CEventHandler, CPublishHandler, CCompletionHandler {
  evt_client(evt_event_fn eventFn, evt_publish_fn publishFn, evt_completion_fn completionFn, void* userData)
      : onEvent(eventFn), onPublishNotice(publishFn), onCompletion(completionFn), user(userData) {}

  long onDeliverEvent(const std::string& category, const std::string& keys, const std::string& data,
                      unsigned long long seqNo, unsigned long serverId) override {
    if (onEvent == nullptr) return 0;
    return onEvent(this, user, category.c_str(), keys.c_str(), data.c_str(), data.size(), seqNo,
                   static_cast<uint32_t>(serverId));
  }
  long onPublish(const std::string& category, long serverId, int bPublish) override {
    if (onPublishNotice == nullptr) return 0;
    return onPublishNotice(this, user, category.c_str(), static_cast<int32_t>(serverId), bPublish);
  }
  long onCompleted(long first, long second) override {
    if (onCompletion == nullptr) return 0;
    return onCompletion(this, user, static_cast<uint32_t>(first), static_cast<evt_result>(second));
  }

  const evt_event_fn onEvent;
  const evt_publish_fn onPublishNotice;
  const evt_completion_fn onCompletion;
  void* const user;
  CEventLib* lib = nullptr;  // set once constructed; deleted by destroy
};

namespace {

// Runs `call` and turns whatever it throws into a result code.
template <typename Call>
evt_result guarded(Call&& call) noexcept {
  try {
    return static_cast<evt_result>(call());
  } catch (const KelException& e) {
    return static_cast<evt_result>(e.code());
  } catch (...) {  // std::bad_alloc among them
    return EVT_E_CREATE;
  }
}

// A copy of `text` in malloc'd memory, for evt_free; null when out of memory.
char* copyOut(const std::string& text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

}  // namespace

extern "C" {

evt_result evt_client_create(const char* name, evt_event_fn on_event, evt_publish_fn on_publish,
                             evt_completion_fn on_completion, void* user, evt_client** client) {
  if (client == nullptr) return EVT_E_INVALID_ARGUMENT;
  *client = nullptr;
  if (name == nullptr) return EVT_E_INVALID_ARGUMENT;
  evt_client* created = new (std::nothrow) evt_client(on_event, on_publish, on_completion, user);
  if (created == nullptr) return EVT_E_CREATE;
  evt_result result = guarded([&] {
    created->lib = new CEventLib(name, created, created, created);
    return created->lib->initialize();
  });
  if (result < 0) {
    delete created->lib;
    delete created;
    return result;
  }
  *client = created;
  return result;
}

evt_result evt_client_finalize(evt_client* client) {
  if (client == nullptr) return EVT_E_INVALID_ARGUMENT;
  return guarded([&] { return client->lib->finalize(); });
}

evt_result evt_client_destroy(evt_client* client) {
  if (client == nullptr) return EVT_OK;
  evt_result result = evt_client_finalize(client);
  if (result == EVT_E_IN_HANDLER) return result;
  delete client->lib;
  delete client;
  return EVT_OK;
}

int evt_is_connected(const evt_client* client) { return client != nullptr && client->lib->isConnected() ? 1 : 0; }

uint32_t evt_server_id(const evt_client* client) {
  return client != nullptr ? static_cast<uint32_t>(client->lib->thisServerId()) : 0;
}

evt_result evt_publish(evt_client* client, const char* category) {
  if (client == nullptr || category == nullptr) return EVT_E_INVALID_ARGUMENT;
  return guarded([&] { return client->lib->publish(category); });
}

evt_result evt_retract(evt_client* client, const char* category) {
  if (client == nullptr || category == nullptr) return EVT_E_INVALID_ARGUMENT;
  return guarded([&] { return client->lib->retract(category); });
}

evt_result evt_subscribe(evt_client* client, const char* category, const char* keys, uint32_t server_id,
                         char** subscription) {
  if (subscription != nullptr) *subscription = nullptr;
  if (client == nullptr || category == nullptr || keys == nullptr) return EVT_E_INVALID_ARGUMENT;
  return guarded([&]() -> long {
    std::string text;
    long result = client->lib->subscribe(category, keys, server_id, &text);
    if (result >= 0 && subscription != nullptr && (*subscription = copyOut(text)) == nullptr) {
      client->lib->unsubscribe(text);
      return CE_E_CREATE;
    }
    return result;
  });
}

evt_result evt_unsubscribe(evt_client* client, const char* subscription) {
  if (client == nullptr || subscription == nullptr) return EVT_E_INVALID_ARGUMENT;
  return guarded([&] { return client->lib->unsubscribe(subscription); });
}

evt_result evt_deliver(evt_client* client, const char* category, const char* keys, const char* data,
                       size_t data_size) {
  if (client == nullptr || category == nullptr || keys == nullptr || (data == nullptr && data_size != 0))
    return EVT_E_INVALID_ARGUMENT;
  return guarded([&] {
    return client->lib->deliverEvent(category, keys, data_size != 0 ? std::string(data, data_size) : std::string());
  });
}

evt_result evt_execute(evt_client* client, uint32_t completion_id) {
  if (client == nullptr) return EVT_E_INVALID_ARGUMENT;
  return guarded([&] { return client->lib->execute(completion_id); });
}

evt_result evt_report_connectivity(evt_client* client, uint32_t value) {
  if (client == nullptr) return EVT_E_INVALID_ARGUMENT;
  return guarded([&] { return client->lib->reportConnectivity(value); });
}

evt_result evt_dump(evt_client* client) {
  if (client == nullptr) return EVT_E_INVALID_ARGUMENT;
  return guarded([&] {
    client->lib->dump();
    return CE_S_OK;
  });
}

evt_result evt_list_build(const char* const* items, size_t count, char** list) {
  if (list == nullptr) return EVT_E_INVALID_ARGUMENT;
  *list = nullptr;
  if (items == nullptr && count != 0) return EVT_E_INVALID_ARGUMENT;
  return guarded([&] {
    CEventLib::CGenList built;
    for (size_t i = 0; i < count; ++i) {
      if (items[i] == nullptr) return CE_E_INVALID_ARGUMENT;
      built.addItem(items[i]);
    }
    *list = copyOut(built.getList());
    return *list != nullptr ? CE_S_OK : CE_E_CREATE;
  });
}

evt_result evt_list_parse(const char* list, char*** items, size_t* count) {
  if (items == nullptr || count == nullptr) return EVT_E_INVALID_ARGUMENT;
  *items = nullptr;
  *count = 0;
  if (list == nullptr) return EVT_E_INVALID_ARGUMENT;
  return guarded([&] {
    if (!params::isPlainList(list)) return CE_E_MALFORMED_LIST;
    CEventLib::CParseList parsed(list);
    const size_t n = parsed.count();
    if (n == 0) return CE_S_OK;  // no items: *items stays null
    char** out = static_cast<char**>(std::calloc(n, sizeof(char*)));
    if (out == nullptr) return CE_E_CREATE;
    for (size_t i = 0; i < n; ++i) {
      if ((out[i] = copyOut(parsed.getItem(i))) == nullptr) {
        evt_list_free(out, i);
        return CE_E_CREATE;
      }
    }
    *items = out;
    *count = n;
    return CE_S_OK;
  });
}

void evt_list_free(char** items, size_t count) {
  if (items == nullptr) return;
  for (size_t i = 0; i < count; ++i) std::free(items[i]);
  std::free(items);
}

void evt_free(void* text) { std::free(text); }

const char* evt_result_text(evt_result result) {
  switch (result) {
    case EVT_OK: return "EVT_OK: done";
    case EVT_E_CREATE: return "EVT_E_CREATE: an object could not be created (the log says why)";
    case EVT_E_NOT_CONNECTED: return "EVT_E_NOT_CONNECTED: not registered with the service";
    case EVT_E_THREAD: return "EVT_E_THREAD: a thread could not be started";
    case EVT_E_STOPPING: return "EVT_E_STOPPING: the client is finalizing";
    case EVT_E_INVALID_TEXT: return "EVT_E_INVALID_TEXT: a NUL, an empty or reserved category, or keys that are not a list";
    case EVT_E_STORE_BUSY: return "EVT_E_STORE_BUSY: a lock of the shared store stayed held";
    case EVT_E_STORE_DAMAGED: return "EVT_E_STORE_DAMAGED: a number of the shared store went back or reached its end";
    case EVT_E_ACCESS_DENIED: return "EVT_E_ACCESS_DENIED: not a member of the service's group";
    case EVT_E_IN_HANDLER: return "EVT_E_IN_HANDLER: not allowed from a callback";
    case EVT_E_INVALID_ARGUMENT: return "EVT_E_INVALID_ARGUMENT: a null pointer where one is needed";
    case EVT_E_MALFORMED_LIST: return "EVT_E_MALFORMED_LIST: not a parameter list";
    default: return result >= 0 ? "done" : "a failure of the service or its channel (the log says more)";
  }
}

}  // extern "C"
