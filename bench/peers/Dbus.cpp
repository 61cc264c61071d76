// D-Bus signals: a private dbus-daemon --session (the session bus's own
// configuration, listening at a temporary Unix socket) and libdbus-1.
// Publishers emit one signal per event (interface org.evt.Bench, member the
// subject, the data a byte array) with dbus_connection_send and flush at the
// end; the round trip flushes each signal. A subscriber adds a match rule
// (confirmed by the bus) and its receiving thread reads signals from its
// connection and hands each to the handler there.
#include <dbus/dbus.h>

#include <atomic>
#include <thread>

#include "bench/peers/Harness.h"

namespace peers {
namespace {

constexpr const char* kInterface = "org.evt.Bench";
constexpr const char* kPath = "/org/evt/Bench";

DBusConnection* openBus(const std::string& address) {
  DBusError error;
  dbus_error_init(&error);
  DBusConnection* connection = dbus_connection_open_private(address.c_str(), &error);
  if (connection == nullptr || !dbus_bus_register(connection, &error)) {
    dbus_error_free(&error);
    if (connection != nullptr) {
      dbus_connection_close(connection);
      dbus_connection_unref(connection);
    }
    return nullptr;
  }
  dbus_connection_set_exit_on_disconnect(connection, FALSE);
  return connection;
}

void closeBus(DBusConnection* connection) {
  dbus_connection_close(connection);
  dbus_connection_unref(connection);
}

class DbusEndpoint : public Endpoint {
 public:
  DbusEndpoint(std::string address, DBusConnection* connection, Receiver& receiver)
      : m_address(std::move(address)), m_send(connection), m_sink(receiver) {}
  ~DbusEndpoint() override {
    m_stop = true;
    if (m_receiver.joinable()) m_receiver.join();
    if (m_receive != nullptr) closeBus(m_receive);
    closeBus(m_send);
  }

  bool subscribe(const std::string& subject) override {
    m_receive = openBus(m_address);
    if (m_receive == nullptr) return false;
    DBusError error;
    dbus_error_init(&error);
    const std::string rule = std::string("type='signal',interface='") + kInterface + "',member='" + subject + "'";
    dbus_bus_add_match(m_receive, rule.c_str(), &error);  // waits for the bus's answer
    if (dbus_error_is_set(&error)) {
      dbus_error_free(&error);
      return false;
    }
    m_receiver = std::thread([this, subject] {
      while (!m_stop && dbus_connection_read_write(m_receive, 100)) {
        while (DBusMessage* message = dbus_connection_pop_message(m_receive)) {
          const unsigned char* bytes = nullptr;
          int size = 0;
          if (dbus_message_is_signal(message, kInterface, subject.c_str()) &&
              dbus_message_get_args(message, nullptr, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &bytes, &size,
                                    DBUS_TYPE_INVALID)) {
            m_sink.onEvent(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(size));
          }
          dbus_message_unref(message);
        }
      }
    });
    return true;
  }
  bool publish(const std::string& subject, const std::string& data) override {
    DBusMessage* message = dbus_message_new_signal(kPath, kInterface, subject.c_str());
    if (message == nullptr) return false;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data.data());
    const bool sent =
        dbus_message_append_args(message, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &bytes, static_cast<int>(data.size()),
                                 DBUS_TYPE_INVALID) &&
        dbus_connection_send(m_send, message, nullptr);
    dbus_message_unref(message);
    return sent;
  }
  bool publishNow(const std::string& subject, const std::string& data) override {
    if (!publish(subject, data)) return false;
    dbus_connection_flush(m_send);
    return true;
  }
  bool finish(int) override {
    dbus_connection_flush(m_send);
    return dbus_connection_get_is_connected(m_send);
  }

 private:
  std::string m_address;
  DBusConnection* m_send;
  DBusConnection* m_receive = nullptr;
  Receiver& m_sink;
  std::atomic<bool> m_stop{false};
  std::thread m_receiver;
};

class DbusTransport : public Transport {
 public:
  const char* name() const override { return "dbus"; }
  const char* shape() const override {
    return "dbus-daemon --session (its stock configuration) at a temporary Unix socket, libdbus-1: one signal per "
           "event with dbus_connection_send, flush at the end; match rule; handler on the receiving thread";
  }
  Broker start(const std::string& dir) const override {
    const std::string address = "unix:path=" + dir + "/dbus.sock";
    return Broker{spawnProgram({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address},
                               dir + "/dbus-daemon.out"),
                  address};
  }
  std::unique_ptr<Endpoint> connect(const std::string& address, Receiver& receiver, const Role&) const override {
    dbus_threads_init_default();
    DBusConnection* connection = nullptr;
    if (!retryFor(30000, [&] { return (connection = openBus(address)) != nullptr; })) return nullptr;
    return std::make_unique<DbusEndpoint>(address, connection, receiver);
  }
};

}  // namespace

const Transport& dbusTransport() {
  static const DbusTransport transport;
  return transport;
}

}  // namespace peers
