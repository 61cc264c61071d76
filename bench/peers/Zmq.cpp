// ZeroMQ: PUB -> XSUB/XPUB proxy process -> SUB over ipc:// sockets, every
// high-water mark 0 (unbounded; ZeroMQ's default of 1000 messages would drop
// silently under a burst). Messages are two frames, subject and data. A
// receiving thread per subscriber process plays the handler: it copies each
// message into the consumer's queue.
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

class ZmqEndpoint : public Endpoint {
 public:
  ZmqEndpoint(const std::string& dir, Inbox& inbox) : m_dir(dir), m_inbox(inbox), m_context(zmq_ctx_new()) {}
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
    if (zmq_connect(m_sub, outAddress(m_dir).c_str()) != 0) return false;
    zmq_setsockopt(m_sub, ZMQ_SUBSCRIBE, subject.data(), subject.size());
    m_receiver = std::thread([this, subject] {
      zmq_msg_t message;
      zmq_msg_init(&message);
      while (!m_stop) {
        if (zmq_msg_recv(&message, m_sub, 0) < 0) continue;
        if (zmq_msg_more(&message)) continue;  // the subject frame
        m_inbox.push(static_cast<const char*>(zmq_msg_data(&message)), zmq_msg_size(&message));
      }
      zmq_msg_close(&message);
    });
    return true;
  }
  bool publish(const std::string& subject, const std::string& data) override {
    if (m_pub == nullptr) {
      m_pub = zmq_socket(m_context, ZMQ_PUB);
      unbounded(m_pub);
      if (zmq_connect(m_pub, inAddress(m_dir).c_str()) != 0) return false;
    }
    return zmq_send(m_pub, subject.data(), subject.size(), ZMQ_SNDMORE) >= 0 &&
           zmq_send(m_pub, data.data(), data.size(), 0) >= 0;
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
  std::string m_dir;
  Inbox& m_inbox;
  void* m_context;
  void* m_pub = nullptr;
  void* m_sub = nullptr;
  std::atomic<bool> m_stop{false};
  std::thread m_receiver;
};

class ZmqTransport : public Transport {
 public:
  const char* name() const override { return "zeromq"; }
  const char* shape() const override {
    return "ZeroMQ 4 PUB -> XSUB/XPUB proxy process (zmq_proxy) -> SUB over ipc://, high-water marks 0 "
           "(unbounded), receiving thread -> queue -> consumer thread";
  }
  Broker start(const std::string& dir) const override {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return Broker{};
    self[n] = '\0';
    return Broker{spawnProgram({self, "--role", "zmq-proxy", dir}, dir + "/zmq-proxy.out"), dir};
  }
  std::unique_ptr<Endpoint> connect(const std::string& address, Inbox& inbox, bool, Side) const override {
    // ipc:// connects succeed before the proxy binds; wait for its sockets.
    const std::string in = address + "/zmq-in";
    const std::string out = address + "/zmq-out";
    if (!retryFor(30000, [&] { return access(in.c_str(), F_OK) == 0 && access(out.c_str(), F_OK) == 0; })) {
      return nullptr;
    }
    return std::make_unique<ZmqEndpoint>(address, inbox);
  }
  bool needsProbe() const override { return true; }
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
  static const ZmqTransport transport;
  return transport;
}

}  // namespace peers
