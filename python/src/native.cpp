// eventlib._native: the Python binding's native half, over the C interface.
//
// The library calls back on its own request thread. With an `on_event`
// callable, that thread takes the GIL and calls it; without one, it queues
// what arrived (bounded: when the queue is full the library's thread waits,
// so eventd holds or reports the rest, never this process dropping it) and
// Python takes the queue in batches with next_batch. Every call that may
// wait (delivery under backpressure, flush, next_batch, close) releases the
// GIL while it waits; Python objects are made only with the GIL held.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "Library/evt.h"

namespace py = pybind11;

namespace {

// The Python types the package defines, handed over once by set_types.
struct Types {
  py::object error, event, missed, connection, notice;
};
Types* g_types = nullptr;

[[noreturn]] void raiseCode(evt_result code) {
  PyErr_SetObject(g_types->error.ptr(), py::make_tuple(code, evt_result_text(code)).ptr());
  throw py::error_already_set();
}

void check(evt_result result) {
  if (result < 0) raiseCode(result);
}

// A text from the library as str; bytes that are not UTF-8 stay readable as
// surrogate escapes rather than failing the whole batch.
py::str text(const std::string& bytes) {
  PyObject* decoded = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogateescape");
  if (decoded == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(decoded);
}

// The items of a key list; a text that is not a list gives no items.
std::vector<std::string> parseKeys(const std::string& list) {
  std::vector<std::string> keys;
  char** items = nullptr;
  size_t count = 0;
  if (evt_list_parse(list.c_str(), &items, &count) == EVT_OK) keys.assign(items, items + count);
  evt_list_free(items, count);
  return keys;
}

std::string buildKeys(const std::vector<std::string>& keys) {
  std::vector<const char*> items;
  items.reserve(keys.size());
  for (const auto& key : keys) {
    if (key.find('\0') != std::string::npos) raiseCode(EVT_E_INVALID_TEXT);
    items.push_back(key.c_str());
  }
  char* list = nullptr;
  check(evt_list_build(items.data(), items.size(), &list));
  std::string built(list);
  evt_free(list);
  return built;
}

// A key list from a Python sequence of str; "" for an empty one.
std::string keyList(const py::handle& keys) {
  if ((PyList_Check(keys.ptr()) || PyTuple_Check(keys.ptr())) && Py_SIZE(keys.ptr()) == 0) return std::string();
  if (PyUnicode_Check(keys.ptr()) || PyBytes_Check(keys.ptr()))
    throw py::type_error("keys are a sequence of str, not one text");
  return buildKeys(keys.cast<std::vector<std::string>>());
}

// What the library handed over, kept without the GIL until Python takes it.
struct Arrival {
  bool isNotice;  // a publish/retract notice rather than an event
  std::string category, keys, data;
  uint64_t seqNo;
  uint32_t serverId;
  bool flag;  // notice: published; "connected"/"disconnected": of this client's own server
};

// A field of a record: Python objects as they are, C++ values converted.
template <typename T>
py::object asObject(T&& value) {
  if constexpr (std::is_base_of_v<py::handle, std::decay_t<T>>)
    return py::reinterpret_borrow<py::object>(value);
  else
    return py::cast(std::forward<T>(value));
}

// An instance of one of the package's NamedTuple types, filled as
// tuple.__new__ fills one (the type's Python __new__ costs more than the rest
// of an event). The types add no fields of their own (__slots__ = ()).
template <typename... Fields>
py::object record(const py::object& type, Fields&&... fields) {
  PyTypeObject* tupleType = reinterpret_cast<PyTypeObject*>(type.ptr());
  // Owned from the start: a conversion that throws frees it, empty slots too.
  py::object made = py::reinterpret_steal<py::object>(tupleType->tp_alloc(tupleType, sizeof...(Fields)));
  if (!made) throw py::error_already_set();
  Py_ssize_t index = 0;
  (PyTuple_SET_ITEM(made.ptr(), index++, asObject(std::forward<Fields>(fields)).release().ptr()), ...);
  return made;
}

// Makes the Python objects for arrivals; keeps the last category's str, since
// a batch is mostly of one category.
class Converter {
 public:
  py::object operator()(const Arrival& a) {
    if (a.isNotice) return record(g_types->notice, text(a.category), a.serverId, a.flag);
    if (a.category == "eventsystem") {
      if (a.data == "missed-event") {
        std::vector<std::string> keys = parseKeys(a.keys);
        return record(g_types->missed, text(keys.empty() ? std::string() : keys[0]), a.seqNo, a.serverId);
      }
      if (a.data == "connected" || a.data == "disconnected")
        return record(g_types->connection, a.data == "connected", a.serverId, a.flag);
    }
    if (!m_category || a.category != m_categoryBytes) {
      m_category = text(a.category);
      m_categoryBytes = a.category;
    }
    py::list keys;
    if (!a.keys.empty())
      for (const auto& key : parseKeys(a.keys)) keys.append(text(key));
    return record(g_types->event, m_category, std::move(keys), py::bytes(a.data), a.seqNo, a.serverId);
  }

 private:
  py::object m_category;
  std::string m_categoryBytes;
};

using Clock = std::chrono::steady_clock;

// Set while the library's thread runs an on_event callback.
thread_local bool t_inCallback = false;

// A deadline `timeout` seconds away; None or negative: none.
Clock::time_point deadlineAfter(std::optional<double> timeout) {
  if (!timeout || *timeout < 0) return Clock::time_point::max();
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*timeout));
}

class Client {
 public:
  static constexpr size_t kQueueEvents = 65536;
  static constexpr size_t kQueueBytes = 64u << 20;

  Client(const std::string& name, py::object onEvent) : m_onEvent(std::move(onEvent)) {
    evt_result result;
    {
      py::gil_scoped_release nogil;
      result = evt_client_create(name.c_str(), &Client::eventCallback, &Client::publishCallback,
                                 &Client::completionCallback, this, &m_client);
    }
    check(result);
  }

  ~Client() {
    try {
      close();
    } catch (py::error_already_set&) {
      // Closed from a callback: the client stays, as the library refused.
    }
  }

  // Stops the client: what is queued goes to the service first (at most
  // 2 s). Events not yet taken by next_batch are dropped.
  void close() {
    if (m_client == nullptr) return;
    if (t_inCallback) raiseCode(EVT_E_IN_HANDLER);  // it would wait for the thread it runs on
    evt_result result;
    {
      py::gil_scoped_release nogil;
      std::unique_lock<std::mutex> lock(m_mutex);
      if (m_closing) return;  // another thread is closing it
      m_closing = true;
      m_changed.notify_all();
      m_arrived.notify_all();
      m_room.notify_all();
      m_changed.wait(lock, [&] { return m_calls == 0; });
      lock.unlock();
      result = evt_client_destroy(m_client);
    }
    check(result);
    m_client = nullptr;
  }

  bool closed() const { return m_client == nullptr; }
  // Read from what the callbacks told, so that neither calls into a client
  // another thread may be closing.
  bool connected() {
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_connected && !m_closing;
  }
  uint32_t serverId() {
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_serverId;
  }

  bool waitConnected(std::optional<double> timeout) {
    Use use(*this);
    py::gil_scoped_release nogil;
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_until(lock, deadlineAfter(timeout), [&] { return m_connected || m_closing; }) &&
           m_connected;
  }

  void publish(const std::string& category) { call([&] { return evt_publish(m_client, category.c_str()); }); }
  void retract(const std::string& category) { call([&] { return evt_retract(m_client, category.c_str()); }); }

  py::str subscribe(const std::string& category, const py::handle& keys, uint32_t serverId) {
    const std::string patterns = keyList(keys);
    char* subscription = nullptr;
    call([&] { return evt_subscribe(m_client, category.c_str(), patterns.c_str(), serverId, &subscription); });
    py::str result = text(subscription);
    evt_free(subscription);
    return result;
  }

  void unsubscribe(const std::string& subscription) {
    call([&] { return evt_unsubscribe(m_client, subscription.c_str()); });
  }

  // `data`: bytes as they are, str as UTF-8, any other buffer copied. The
  // bytes are read in place while the GIL is released: the caller's
  // reference keeps the immutable object alive.
  void deliver(const std::string& category, const py::handle& keys, const py::object& data) {
    const std::string list = keyList(keys);
    py::object held = data;
    const char* bytes;
    Py_ssize_t size;
    if (PyUnicode_Check(data.ptr())) {
      bytes = PyUnicode_AsUTF8AndSize(data.ptr(), &size);
    } else {
      if (!PyBytes_Check(data.ptr())) held = py::reinterpret_steal<py::object>(PyBytes_FromObject(data.ptr()));
      bytes = held ? PyBytes_AsString(held.ptr()) : nullptr;
      size = held ? PyBytes_GET_SIZE(held.ptr()) : 0;
    }
    if (bytes == nullptr) throw py::error_already_set();
    call([&] { return evt_deliver(m_client, category.c_str(), list.c_str(), bytes, static_cast<size_t>(size)); });
  }

  void execute() { call([&] { return evt_execute(m_client, 0); }); }

  // Waits for the connection, sends the queue with a completion id and waits
  // until the service has handled it; TimeoutError after `timeout` seconds.
  void flush(std::optional<double> timeout) {
    Use use(*this);
    const Clock::time_point deadline = deadlineAfter(timeout);
    evt_result result = EVT_OK;
    const char* timedOut = nullptr;  // what did not come in time
    {
      py::gil_scoped_release nogil;
      std::unique_lock<std::mutex> lock(m_mutex);
      if (!m_changed.wait_until(lock, deadline, [&] { return m_connected || m_closing; })) {
        timedOut = "not connected to the service in time";
      } else if (m_closing) {
        result = EVT_E_STOPPING;
      } else {
        uint32_t id = m_nextCompletion++;
        if (id == 0) id = m_nextCompletion++;  // 0 asks for no answer
        m_pending[id];
        lock.unlock();
        result = evt_execute(m_client, id);
        lock.lock();
        if (result >= 0) {
          if (!m_changed.wait_until(lock, deadline, [&] { return m_pending[id].has_value() || m_closing; }))
            timedOut = "the service did not confirm the flush in time";
          else
            result = m_pending[id].value_or(EVT_E_STOPPING);
        }
        m_pending.erase(id);
      }
    }
    if (timedOut != nullptr) {
      PyErr_SetString(PyExc_TimeoutError, timedOut);
      throw py::error_already_set();
    }
    check(result);
  }

  void reportConnectivity(uint32_t value) { call([&] { return evt_report_connectivity(m_client, value); }); }
  void dump() { call([&] { return evt_dump(m_client); }); }

  // Up to `most` arrivals, waiting up to `timeout` seconds (negative: for
  // ever) for the first; an empty list when none came or the client closed.
  py::list nextBatch(size_t most, std::optional<double> timeout) {
    if (!m_onEvent.is_none()) throw py::value_error("events go to on_event; this client has no queue");
    std::vector<Arrival> taken;
    {
      py::gil_scoped_release nogil;
      std::unique_lock<std::mutex> lock(m_mutex);
      m_consumerWaiting = true;
      m_arrived.wait_until(lock, deadlineAfter(timeout), [&] { return !m_queue.empty() || m_closing; });
      m_consumerWaiting = false;
      while (!m_queue.empty() && taken.size() < most) {
        m_queuedBytes -= m_queue.front().data.size();
        taken.push_back(std::move(m_queue.front()));
        m_queue.pop_front();
      }
      if (m_producerWaiting && !taken.empty()) m_room.notify_one();
    }
    py::list result;
    Converter convert;
    for (const auto& arrival : taken) result.append(convert(arrival));
    return result;
  }

 private:
  // Runs a call of the C interface with the GIL released; raises on failure.
  template <typename Call>
  void call(Call&& c) {
    Use use(*this);
    evt_result result;
    {
      py::gil_scoped_release nogil;
      result = c();
    }
    check(result);
  }

  // One call into the C interface: close() waits until none is in flight,
  // and none starts once it has begun (EVT_E_STOPPING).
  class Use {
   public:
    explicit Use(Client& client) : m_owner(client) {
      bool open;
      {
        std::lock_guard<std::mutex> hold(m_owner.m_mutex);
        open = m_owner.m_client != nullptr && !m_owner.m_closing;
        if (open) ++m_owner.m_calls;
      }
      if (!open) raiseCode(EVT_E_STOPPING);
    }
    ~Use() {
      std::lock_guard<std::mutex> hold(m_owner.m_mutex);
      if (--m_owner.m_calls == 0) m_owner.m_changed.notify_all();
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

   private:
    Client& m_owner;
  };

  // On the library's thread, without the GIL.
  void arrive(Arrival arrival) {
    if (!m_onEvent.is_none()) {
      if (_Py_IsFinalizing()) return;  // a thread taking the GIL now would be stopped
      py::gil_scoped_acquire gil;
      t_inCallback = true;
      try {
        m_onEvent(Converter()(arrival));
      } catch (py::error_already_set& e) {
        e.discard_as_unraisable("eventlib on_event callback");
      }
      t_inCallback = false;
      return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_producerWaiting = true;
    m_room.wait(lock, [&] {
      return m_closing || m_queue.empty() ||
             (m_queue.size() < kQueueEvents && m_queuedBytes + arrival.data.size() <= kQueueBytes);
    });
    m_producerWaiting = false;
    if (m_closing) return;
    m_queuedBytes += arrival.data.size();
    m_queue.push_back(std::move(arrival));
    // Wake-ups only for a waiting reader: a busy one takes the queue in batches.
    if (m_consumerWaiting) m_arrived.notify_one();
  }

  static evt_result eventCallback(evt_client* client, void* user, const char* category, const char* keys,
                                  const char* data, size_t size, uint64_t seqNo, uint32_t serverId) {
    auto* self = static_cast<Client*>(user);
    Arrival arrival{false, category, keys, std::string(data, size), seqNo, serverId, false};
    if (arrival.category == "eventsystem" && (arrival.data == "connected" || arrival.data == "disconnected")) {
      const uint32_t own = evt_server_id(client);
      arrival.flag = serverId == own;
      if (arrival.flag) {
        std::lock_guard<std::mutex> hold(self->m_mutex);
        self->m_serverId = own;
        self->m_connected = arrival.data == "connected";
        self->m_changed.notify_all();
      }
    }
    self->arrive(std::move(arrival));
    return EVT_OK;
  }

  static evt_result publishCallback(evt_client*, void* user, const char* category, int32_t serverId, int published) {
    static_cast<Client*>(user)->arrive(
        Arrival{true, category, std::string(), std::string(), 0, static_cast<uint32_t>(serverId), published != 0});
    return EVT_OK;
  }

  static evt_result completionCallback(evt_client*, void* user, uint32_t id, evt_result result) {
    auto* self = static_cast<Client*>(user);
    std::lock_guard<std::mutex> hold(self->m_mutex);
    auto pending = self->m_pending.find(id);
    if (pending != self->m_pending.end()) pending->second = result;
    self->m_changed.notify_all();
    return EVT_OK;
  }

  evt_client* m_client = nullptr;
  const py::object m_onEvent;  // None: arrivals are queued for nextBatch

  std::mutex m_mutex;
  std::condition_variable m_changed;  // connection, completions, calls in flight, closing
  std::condition_variable m_arrived;  // the queue has items (for a waiting reader)
  std::condition_variable m_room;     // the queue has room (for the library's thread)
  bool m_consumerWaiting = false;     // guarded by m_mutex
  bool m_producerWaiting = false;     // guarded by m_mutex
  bool m_closing = false;    // guarded by m_mutex
  int m_calls = 0;           // guarded by m_mutex: calls in flight (Use)
  bool m_connected = false;  // guarded by m_mutex: this client's own connection
  uint32_t m_serverId = 0;   // guarded by m_mutex: this machine's server, once connected
  std::deque<Arrival> m_queue;  // guarded by m_mutex
  size_t m_queuedBytes = 0;     // guarded by m_mutex: data bytes in m_queue
  // Completion ids flush waits for, with their result once answered. Guarded by m_mutex.
  std::unordered_map<uint32_t, std::optional<evt_result>> m_pending;
  uint32_t m_nextCompletion = 1;  // guarded by m_mutex
};

}  // namespace

PYBIND11_MODULE(_native, m) {
  m.doc() = "The native half of the eventlib package; use the package, not this module.";
  m.attr("THIS_SERVER") = EVT_THIS_SERVER;
  m.def("set_types", [](py::object error, py::object event, py::object missed, py::object connection,
                        py::object notice) {
    // Kept for the life of the process: the library's threads may still
    // make objects while the interpreter tears modules down.
    g_types = new Types{error, event, missed, connection, notice};
  });
  m.def("result_text", [](evt_result code) { return std::string(evt_result_text(code)); });
  py::dict codes;
  const std::pair<const char*, evt_result> known[] = {
      {"CREATE", EVT_E_CREATE}, {"NOT_CONNECTED", EVT_E_NOT_CONNECTED}, {"THREAD", EVT_E_THREAD},
      {"STOPPING", EVT_E_STOPPING}, {"INVALID_TEXT", EVT_E_INVALID_TEXT}, {"STORE_BUSY", EVT_E_STORE_BUSY},
      {"STORE_DAMAGED", EVT_E_STORE_DAMAGED}, {"ACCESS_DENIED", EVT_E_ACCESS_DENIED},
      {"IN_HANDLER", EVT_E_IN_HANDLER}, {"INVALID_ARGUMENT", EVT_E_INVALID_ARGUMENT},
      {"MALFORMED_LIST", EVT_E_MALFORMED_LIST}};
  for (const auto& [name, code] : known) codes[name] = code;
  m.attr("CODES") = codes;

  py::class_<Client>(m, "Client", "The client object; eventlib.Client adds iteration and context management.")
      .def(py::init<const std::string&, py::object>(), py::arg("name"), py::arg("on_event") = py::none())
      .def("_close", &Client::close)
      .def_property_readonly("closed", &Client::closed)
      .def_property_readonly("connected", &Client::connected, "Whether the client is registered with the service now.")
      .def_property_readonly("server_id", &Client::serverId, "This machine's server id (0 before the first connection).")
      .def("wait_connected", &Client::waitConnected, py::arg("timeout") = py::none(),
           "Waits until connected; False when `timeout` seconds passed first (None: no limit).")
      .def("publish", &Client::publish, py::arg("category"), "Announces that this client publishes `category`.")
      .def("retract", &Client::retract, py::arg("category"), "Withdraws publish().")
      .def("subscribe", &Client::subscribe, py::arg("category"), py::arg("keys") = py::tuple(),
           py::arg("server_id") = EVT_THIS_SERVER,
           "Subscribes to events of `category` whose keys begin with the patterns `keys` (\"*\" matches any one\n"
           "key, and when last all the rest, none included); returns the subscription unsubscribe() takes.")
      .def("unsubscribe", &Client::unsubscribe, py::arg("subscription"))
      .def("publish_event", &Client::deliver, py::arg("category"), py::arg("keys") = py::tuple(),
           py::arg("data") = py::bytes(),
           "Numbers and queues one event (data: bytes, str as UTF-8, or a buffer); it leaves within 200 ms,\n"
           "at once with send() or flush(). Error NOT_CONNECTED while the service is away: no number is\n"
           "taken, so retrying leaves no gap.")
      .def("send", &Client::execute, "Lets what is queued leave within 200 ms (at once past 64 KiB).")
      .def("flush", &Client::flush, py::arg("timeout") = 10.0,
           "Sends what is queued and waits until the service has handled all of it, waiting first for the\n"
           "connection. TimeoutError after `timeout` seconds (None: no limit); Error when the connection is lost.")
      .def("report_connectivity", &Client::reportConnectivity, py::arg("value"))
      .def("dump", &Client::dump, "Writes the client's tables to its log and asks the service to dump too.")
      .def("_next_batch", &Client::nextBatch, py::arg("most"), py::arg("timeout"));
}
