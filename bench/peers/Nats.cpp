// NATS: a nats-server process on loopback (a free port picked at start, its
// default options otherwise) and the libnats C client at its defaults:
// natsConnection_Publish per event (the client's flusher thread writes),
// natsConnection_FlushTimeout at the end (the round trip's clients send at
// once: SendAsap); subscribers get an asynchronous
// callback, which is the handler.
#include <arpa/inet.h>
#include <nats/nats.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "bench/peers/Harness.h"

namespace peers {
namespace {

class NatsEndpoint : public Endpoint {
 public:
  NatsEndpoint(natsConnection* connection, Receiver& receiver) : m_connection(connection), m_sink(receiver) {}
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
    static_cast<NatsEndpoint*>(closure)->m_sink.onEvent(natsMsg_GetData(message),
                                                     static_cast<std::size_t>(natsMsg_GetDataLength(message)));
    natsMsg_Destroy(message);
  }

  natsConnection* m_connection;
  Receiver& m_sink;
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

// A nats-server on a free loopback port, `extra` added to its options.
Broker startNatsServer(const std::string& dir, const std::vector<std::string>& extra) {
  const int port = freeLoopbackPort();
  if (port < 0) return Broker{};
  const std::string portText = std::to_string(port);
  std::vector<std::string> argv{"nats-server", "-a", "127.0.0.1", "-p", portText};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return Broker{spawnProgram(argv, dir + "/nats-server.out"), "nats://127.0.0.1:" + portText};
}

// Connects at the client's defaults; null when it could not within 30 s.
natsConnection* connectNats(const std::string& address, const Role& role) {
  natsOptions* options = nullptr;
  if (natsOptions_Create(&options) != NATS_OK) return nullptr;
  natsOptions_SetURL(options, address.c_str());
  // The client's flusher thread coalesces writes; for the round trip it
  // is told to write each message at once, as eventd's execute(id) does.
  if (role.roundTrip) natsOptions_SetSendAsap(options, true);
  natsConnection* connection = nullptr;
  const bool connected = retryFor(30000, [&] { return natsConnection_Connect(&connection, options) == NATS_OK; });
  natsOptions_Destroy(options);
  return connected ? connection : nullptr;
}

class NatsTransport : public Transport {
 public:
  const char* name() const override { return "nats"; }
  const char* shape() const override {
    return "nats-server on 127.0.0.1 (defaults), libnats: natsConnection_Publish per event, FlushTimeout at the "
           "end (round trip: SendAsap), handler in the asynchronous subscription callback";
  }
  Broker start(const std::string& dir) const override { return startNatsServer(dir, {}); }
  std::unique_ptr<Endpoint> connect(const std::string& address, Receiver& receiver, const Role& role) const override {
    natsConnection* connection = connectNats(address, role);
    if (connection == nullptr) return nullptr;
    return std::make_unique<NatsEndpoint>(connection, receiver);
  }
};

// Machine 1 or 2 of a federated run: its folder for sockets and logs, and
// its store's prefix after `prefix`, the run's.
void enterMachine(const std::string& dir, int machine, const std::string& prefix) {
  const std::string folder = dir + "/m" + std::to_string(machine);
  mkdir(folder.c_str(), 0700);
  setenv("EVT_RUNTIME_DIR", folder.c_str(), 1);
  setenv("EVT_LOG_DIR", folder.c_str(), 1);
  setenv("EVT_SHM_PREFIX", (prefix + "m" + std::to_string(machine) + ".").c_str(), 1);
}

std::string runPrefix() {
  const char* prefix = std::getenv("EVT_SHM_PREFIX");
  return prefix != nullptr ? prefix : "";
}

// NATS JetStream as its users stream through it: the stream "PEERS" over
// the benchmark's subjects (file storage, limits at the server's defaults), made by
// whichever party comes first; js_PublishAsync per event and
// js_PublishAsyncComplete at the end (each event stored and acknowledged);
// subscribers an ordered push consumer of new messages, the handler in its
// callback. The round trip publishes with js_Publish (waiting for the ack).
class JetStreamEndpoint : public Endpoint {
 public:
  JetStreamEndpoint(natsConnection* connection, jsCtx* jetStream, Receiver& receiver, bool roundTrip)
      : m_connection(connection), m_jetStream(jetStream), m_sink(receiver), m_roundTrip(roundTrip) {}
  ~JetStreamEndpoint() override {
    if (m_subscription != nullptr) {
      natsSubscription_Unsubscribe(m_subscription);
      natsSubscription_Destroy(m_subscription);
    }
    jsCtx_Destroy(m_jetStream);
    natsConnection_Destroy(m_connection);
  }

  bool subscribe(const std::string& subject) override {
    jsSubOptions options;
    jsSubOptions_Init(&options);
    options.Ordered = true;
    options.Config.DeliverPolicy = js_DeliverNew;
    return js_Subscribe(&m_subscription, m_jetStream, subject.c_str(), &JetStreamEndpoint::onMessage, this, nullptr,
                        &options, nullptr) == NATS_OK;
  }
  bool publish(const std::string& subject, const std::string& data) override {
    if (m_roundTrip) return publishNow(subject, data);
    return js_PublishAsync(m_jetStream, subject.c_str(), data.data(), static_cast<int>(data.size()), nullptr) ==
           NATS_OK;
  }
  bool publishNow(const std::string& subject, const std::string& data) override {
    return js_Publish(nullptr, m_jetStream, subject.c_str(), data.data(), static_cast<int>(data.size()), nullptr,
                      nullptr) == NATS_OK;
  }
  bool finish(int timeoutMs) override {
    jsPubOptions options;
    jsPubOptions_Init(&options);
    options.MaxWait = timeoutMs;
    return js_PublishAsyncComplete(m_jetStream, &options) == NATS_OK &&
           natsConnection_FlushTimeout(m_connection, timeoutMs) == NATS_OK;
  }

 private:
  static void onMessage(natsConnection*, natsSubscription*, natsMsg* message, void* closure) {
    static_cast<JetStreamEndpoint*>(closure)->m_sink.onEvent(natsMsg_GetData(message),
                                                           static_cast<std::size_t>(natsMsg_GetDataLength(message)));
    natsMsg_Destroy(message);
  }

  natsConnection* m_connection;
  jsCtx* m_jetStream;
  Receiver& m_sink;
  const bool m_roundTrip;
  natsSubscription* m_subscription = nullptr;
};

class JetStreamTransport : public Transport {
 public:
  const char* name() const override { return "jetstream"; }
  const char* shape() const override {
    return "nats-server -js on 127.0.0.1 (file store), stream PEERS over the benchmark's subjects; libnats: "
           "js_PublishAsync per event, js_PublishAsyncComplete at the end (round trip: js_Publish), handler in an "
           "ordered push consumer's callback";
  }
  bool onlyBeside() const override { return true; }
  bool needsProbe() const override { return true; }  // the consumer may start after the first messages
  Broker start(const std::string& dir) const override { return startNatsServer(dir, {"-js", "-sd", dir + "/js"}); }
  std::unique_ptr<Endpoint> connect(const std::string& address, Receiver& receiver, const Role& role) const override {
    natsConnection* connection = connectNats(address, role);
    if (connection == nullptr) return nullptr;
    jsCtx* jetStream = nullptr;
    if (natsConnection_JetStream(&jetStream, connection, nullptr) != NATS_OK) {
      natsConnection_Destroy(connection);
      return nullptr;
    }
    // Made by the first party; the same request from the others finds it as it is.
    jsStreamConfig config;
    jsStreamConfig_Init(&config);
    config.Name = "PEERS";
    const char* subjects[] = {"bench", "ping", "pong"};  // the benchmark's subjects
    config.Subjects = subjects;
    config.SubjectsLen = 3;
    config.Storage = js_FileStorage;
    retryFor(30000, [&] {
      jsErrCode code = static_cast<jsErrCode>(0);
      return js_AddStream(nullptr, jetStream, &config, nullptr, &code) == NATS_OK || code == JSStreamNameExistErr;
    });
    return std::make_unique<JetStreamEndpoint>(connection, jetStream, receiver, role.roundTrip);
  }
};

// Two machines on one: eventd with server ids 1 and 2, each with its own
// folders and store, joined through one nats-server (with a stream: one
// with JetStream, and eventd with --federation-stream). The middle process
// is a supervisor that starts the three and stops them when it is stopped.
class FederatedTransport : public Transport {
 public:
  explicit FederatedTransport(bool stream) : m_stream(stream) {}
  const char* name() const override { return m_stream ? "federated-stream" : "federated"; }
  const char* shape() const override {
    return m_stream ? "as federated, with nats-server -js (file store) and eventd --federation-stream (stream at its "
                      "default bounds)"
                    : "two eventd at their default options but --server-id 1 / 2 and --federation to one "
                      "nats-server on 127.0.0.1 (defaults); publisher and pinger hosts on server 1, subscriber and "
                      "ponger hosts on server 2, each following the other server's category; hosts as for eventd";
  }
  bool needsProbe() const override { return true; }  // interest reaches server 1 after the subscription
  bool acrossMachines() const override { return true; }
  const char* beside() const override { return m_stream ? "jetstream" : "nats"; }
  Broker start(const std::string& dir) const override {
    const int port = freeLoopbackPort();
    if (port < 0) return Broker{};
    const std::string prefix = runPrefix();
    const pid_t supervisor = fork();
    if (supervisor != 0) return Broker{supervisor, dir};
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    const std::string url = "nats://127.0.0.1:" + std::to_string(port);
    std::vector<std::string> nats{"nats-server", "-a", "127.0.0.1", "-p", std::to_string(port)};
    if (m_stream) nats.insert(nats.end(), {"-js", "-sd", dir + "/js"});
    std::vector<pid_t> children{spawnProgram(nats, dir + "/nats-server.out")};
    for (int machine : {1, 2}) {
      enterMachine(dir, machine, prefix);
      std::vector<std::string> eventd{EVT_BENCH_EVENTD, "--server-id", std::to_string(machine), "--federation", url};
      if (m_stream) eventd.push_back("--federation-stream");
      children.push_back(spawnProgram(eventd, dir + "/eventd" + std::to_string(machine) + ".out"));
    }
    int signal = 0;
    sigwait(&stop, &signal);
    for (pid_t child : children) {
      if (child > 0) kill(child, SIGTERM);
    }
    for (pid_t child : children) {
      if (child > 0) waitpid(child, nullptr, 0);
    }
    _exit(0);
  }
  std::unique_ptr<Endpoint> connect(const std::string& address, Receiver& receiver, const Role& role) const override {
    const int home = role.side == Side::kSending ? 1 : 2;
    enterMachine(address, home, runPrefix());
    return eventdEndpoint(receiver, home == 1 ? 2 : 1);
  }

 private:
  const bool m_stream;
};

}  // namespace

const Transport& federatedTransport() {
  static const FederatedTransport transport(false);
  return transport;
}

const Transport& federatedStreamTransport() {
  static const FederatedTransport transport(true);
  return transport;
}

const Transport& jetStreamTransport() {
  static const JetStreamTransport transport;
  return transport;
}

const Transport& natsTransport() {
  static const NatsTransport transport;
  return transport;
}

}  // namespace peers
