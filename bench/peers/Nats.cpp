// NATS: a nats-server process on loopback (a free port picked at start, its
// default options otherwise) and the libnats C client at its defaults:
// natsConnection_Publish per event (the client's flusher thread writes),
// natsConnection_FlushTimeout at the end (the round trip's clients send at
// once: SendAsap); subscribers get an asynchronous
// callback, which copies each message into the consumer's queue.
#include <arpa/inet.h>
#include <nats/nats.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bench/peers/Harness.h"

namespace peers {
namespace {

class NatsEndpoint : public Endpoint {
 public:
  NatsEndpoint(natsConnection* connection, Inbox& inbox) : m_connection(connection), m_inbox(inbox) {}
  ~NatsEndpoint() override {
    if (m_subscription != nullptr) {
      natsSubscription_Unsubscribe(m_subscription);
      natsSubscription_Destroy(m_subscription);
    }
    natsConnection_Destroy(m_connection);
  }

  bool subscribe(const std::string& subject) override {
    if (natsConnection_Subscribe(&m_subscription, m_connection, subject.c_str(), &NatsEndpoint::onMessage, this) !=
        NATS_OK) {
      return false;
    }
    return natsConnection_FlushTimeout(m_connection, 30000) == NATS_OK;  // the server has the subscription
  }
  bool publish(const std::string& subject, const std::string& data) override {
    return natsConnection_Publish(m_connection, subject.c_str(), data.data(), static_cast<int>(data.size())) ==
           NATS_OK;
  }
  bool publishNow(const std::string& subject, const std::string& data) override { return publish(subject, data); }
  bool finish(int timeoutMs) override { return natsConnection_FlushTimeout(m_connection, timeoutMs) == NATS_OK; }

 private:
  static void onMessage(natsConnection*, natsSubscription*, natsMsg* message, void* closure) {
    static_cast<NatsEndpoint*>(closure)->m_inbox.push(natsMsg_GetData(message),
                                                      static_cast<std::size_t>(natsMsg_GetDataLength(message)));
    natsMsg_Destroy(message);
  }

  natsConnection* m_connection;
  Inbox& m_inbox;
  natsSubscription* m_subscription = nullptr;
};

int freeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

class NatsTransport : public Transport {
 public:
  const char* name() const override { return "nats"; }
  const char* shape() const override {
    return "nats-server on 127.0.0.1 (defaults), libnats: natsConnection_Publish per event, FlushTimeout at the "
           "end (round trip: SendAsap), asynchronous subscription callback -> queue -> consumer thread";
  }
  Broker start(const std::string& dir) const override {
    const int port = freeLoopbackPort();
    if (port < 0) return Broker{};
    const std::string portText = std::to_string(port);
    return Broker{spawnProgram({"nats-server", "-a", "127.0.0.1", "-p", portText}, dir + "/nats-server.out"),
                  "nats://127.0.0.1:" + portText};
  }
  std::unique_ptr<Endpoint> connect(const std::string& address, Inbox& inbox, bool roundTrip) const override {
    natsOptions* options = nullptr;
    if (natsOptions_Create(&options) != NATS_OK) return nullptr;
    natsOptions_SetURL(options, address.c_str());
    // The client's flusher thread coalesces writes; for the round trip it
    // is told to write each message at once, as eventd's execute(id) does.
    if (roundTrip) natsOptions_SetSendAsap(options, true);
    natsConnection* connection = nullptr;
    const bool connected = retryFor(30000, [&] { return natsConnection_Connect(&connection, options) == NATS_OK; });
    natsOptions_Destroy(options);
    if (!connected) return nullptr;
    return std::make_unique<NatsEndpoint>(connection, inbox);
  }
};

}  // namespace

const Transport& natsTransport() {
  static const NatsTransport transport;
  return transport;
}

}  // namespace peers
