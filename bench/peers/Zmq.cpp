// ZeroMQ over ipc:// sockets, every high-water mark 0 (unbounded; ZeroMQ's
// default of 1000 messages would drop silently under a burst). Each message
// is one frame, the subject and a space before the data: SUB's prefix
// match filters on it, as ZeroMQ's own pub/sub examples do. Two shapes:
//   zeromq         PUB -> XSUB/XPUB proxy process (zmq_proxy) -> SUB
//   zeromq-direct  no broker: each publisher's PUB binds a socket of its own
//                  and subscribers connect to every publisher's.
// A subscriber's receiving thread (the application's own zmq_msg_recv loop)
// runs the handler.
#include <unistd.h>
#include <zmq.h>

#include <atomic>
#include <thread>

#include "bench/peers/Harness.h"

namespace peers {

namespace {

void unbounded(void* socket) {
  int zero = 0;
  zmq_setsockopt(socket, ZMQ_SNDHWM, &zero, sizeof zero);
  zmq_setsockopt(socket, ZMQ_RCVHWM, &zero, sizeof zero);
}

std::string inAddress(const std::string& dir) { return "ipc://" + dir + "/zmq-in"; }
std::string outAddress(const std::string& dir) { return "ipc://" + dir + "/zmq-out"; }
// Without a broker: publisher `index`'s socket for `subject`.
std::string directAddress(const std::string& dir, const std::string& subject, long index) {
  return "ipc://" + dir + "/zmq-" + subject + "-" + std::to_string(index);
}

class ZmqEndpoint : public Endpoint {
 public:
  ZmqEndpoint(const std::string& dir, bool direct, Receiver& receiver, const Role& role)
      : m_dir(dir), m_direct(direct), m_sink(receiver), m_role(role), m_context(zmq_ctx_new()) {}
  ~ZmqEndpoint() override {
    m_stop = true;
    if (m_receiver.joinable()) m_receiver.join();
    if (m_sub != nullptr) zmq_close(m_sub);
    if (m_pub != nullptr) {
      int linger = 0;  // finish already waited for what mattered
      zmq_setsockopt(m_pub, ZMQ_LINGER, &linger, sizeof linger);
      zmq_close(m_pub);
    }
    zmq_ctx_term(m_context);
  }

  bool subscribe(const std::string& subject) override {
    m_sub = zmq_socket(m_context, ZMQ_SUB);
    unbounded(m_sub);
    int poll = 100;
    zmq_setsockopt(m_sub, ZMQ_RCVTIMEO, &poll, sizeof poll);
    // A direct round trip's ponger answers the one pinger, and the reverse.
    const long publishers = m_direct ? m_role.publishers : 1;
    for (long i = 0; i < publishers; ++i) {
      const std::string address = m_direct ? directAddress(m_dir, subject, i) : outAddress(m_dir);
      if (zmq_connect(m_sub, address.c_str()) != 0) return false;  // retried by ZeroMQ until bound
    }
    const std::string prefix = subject + " ";
    zmq_setsockopt(m_sub, ZMQ_SUBSCRIBE, prefix.data(), prefix.size());
    m_receiver = std::thread([this, skip = prefix.size()] {
      zmq_msg_t message;
      zmq_msg_init(&message);
      while (!m_stop) {
        if (zmq_msg_recv(&message, m_sub, 0) < 0 || zmq_msg_size(&message) < skip) continue;
        m_sink.onEvent(static_cast<const char*>(zmq_msg_data(&message)) + skip, zmq_msg_size(&message) - skip);
      }
      zmq_msg_close(&message);
    });
    return true;
  }
  bool publish(const std::string& subject, const std::string& data) override {
    if (m_pub == nullptr) {
      m_pub = zmq_socket(m_context, ZMQ_PUB);
      unbounded(m_pub);
      const bool open = m_direct ? zmq_bind(m_pub, directAddress(m_dir, subject, m_role.index).c_str()) == 0
                                 : zmq_connect(m_pub, inAddress(m_dir).c_str()) == 0;
      if (!open) return false;
    }
    m_frame.assign(subject).append(1, ' ').append(data);
    return zmq_send(m_pub, m_frame.data(), m_frame.size(), 0) >= 0;
  }
  bool publishNow(const std::string& subject, const std::string& data) override { return publish(subject, data); }
  // ZeroMQ does not tell when a message left; closing the socket with a
  // linger makes the context's end wait until its queue is written.
  bool finish(int timeoutMs) override {
    if (m_pub == nullptr) return true;
    zmq_setsockopt(m_pub, ZMQ_LINGER, &timeoutMs, sizeof timeoutMs);
    zmq_close(m_pub);
    m_pub = nullptr;
    if (m_sub == nullptr) {
      zmq_ctx_term(m_context);
      m_context = zmq_ctx_new();
    }
    return true;
  }

 private:
  const std::string m_dir;
  const bool m_direct;
  Receiver& m_sink;
  const Role m_role;
  void* m_context;
  void* m_pub = nullptr;
  void* m_sub = nullptr;
  std::string m_frame;  // the message being sent, reused
  std::atomic<bool> m_stop{false};
  std::thread m_receiver;
};

class ZmqTransport : public Transport {
 public:
  explicit ZmqTransport(bool direct) : m_direct(direct) {}
  const char* name() const override { return m_direct ? "zeromq-direct" : "zeromq"; }
  const char* shape() const override {
    return m_direct ? "ZeroMQ 4 without a broker: each publisher's PUB binds an ipc:// socket, subscribers' SUB "
                      "connect to every publisher's; one frame per message (subject prefix), high-water marks 0 "
                      "(unbounded), handler on the receiving thread"
                    : "ZeroMQ 4 PUB -> XSUB/XPUB proxy process (zmq_proxy) -> SUB over ipc://, one frame per "
                      "message (subject prefix), high-water marks 0 (unbounded), handler on the receiving thread";
  }
  Broker start(const std::string& dir) const override {
    // Without a broker there is no middle process; one that only waits to
    // be stopped keeps the run shaped as every other.
    if (m_direct) return Broker{spawnProgram({"sleep", "infinity"}, dir + "/idle.out"), dir};
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return Broker{};
    self[n] = '\0';
    return Broker{spawnProgram({self, "--role", "zmq-proxy", dir}, dir + "/zmq-proxy.out"), dir};
  }
  std::unique_ptr<Endpoint> connect(const std::string& address, Receiver& receiver, const Role& role) const override {
    // ipc:// connects succeed before the proxy binds; wait for its sockets.
    const std::string in = address + "/zmq-in";
    const std::string out = address + "/zmq-out";
    if (!m_direct &&
        !retryFor(30000, [&] { return access(in.c_str(), F_OK) == 0 && access(out.c_str(), F_OK) == 0; })) {
      return nullptr;
    }
    return std::make_unique<ZmqEndpoint>(address, m_direct, receiver, role);
  }
  bool needsProbe() const override { return true; }

 private:
  const bool m_direct;
};

}  // namespace

int zmqProxyMain(const std::string& dir) {
  void* context = zmq_ctx_new();
  void* xsub = zmq_socket(context, ZMQ_XSUB);
  void* xpub = zmq_socket(context, ZMQ_XPUB);
  unbounded(xsub);
  unbounded(xpub);
  if (zmq_bind(xsub, inAddress(dir).c_str()) != 0 || zmq_bind(xpub, outAddress(dir).c_str()) != 0) return 1;
  zmq_proxy(xsub, xpub, nullptr);  // until SIGTERM
  return 0;
}

const Transport& zmqTransport() {
  static const ZmqTransport transport(false);
  return transport;
}

const Transport& zmqDirectTransport() {
  static const ZmqTransport transport(true);
  return transport;
}

}  // namespace peers
