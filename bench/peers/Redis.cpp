// Redis pub/sub: a redis-server process listening only on a Unix socket
// (a temporary config: no TCP port, no persistence, its defaults otherwise,
// client-output-buffer-limit for pubsub included), and hiredis. Publishers
// pipeline PUBLISH commands, reading the replies every 1,000 (one command and
// reply at a time would measure round trips, not throughput); the round trip
// uses a plain PUBLISH. A subscriber's receiving thread reads its
// SUBSCRIBE connection and runs the handler on each message.
#include <hiredis/hiredis.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

#include "bench/peers/Harness.h"

namespace peers {
namespace {

constexpr long kPipeline = 1000;

class RedisEndpoint : public Endpoint {
 public:
  RedisEndpoint(std::string path, redisContext* context, Receiver& receiver)
      : m_path(std::move(path)), m_pub(context), m_sink(receiver) {}
  ~RedisEndpoint() override {
    if (m_sub != nullptr) {
      shutdown(m_sub->fd, SHUT_RDWR);  // ends the receiving thread's read
      if (m_receiver.joinable()) m_receiver.join();
      redisFree(m_sub);
    }
    redisFree(m_pub);
  }

  bool subscribe(const std::string& subject) override {
    m_sub = redisConnectUnix(m_path.c_str());
    if (m_sub == nullptr || m_sub->err != 0) return false;
    auto* reply = static_cast<redisReply*>(redisCommand(m_sub, "SUBSCRIBE %s", subject.c_str()));
    if (reply == nullptr) return false;
    freeReplyObject(reply);
    m_receiver = std::thread([this] {
      void* raw = nullptr;
      while (redisGetReply(m_sub, &raw) == REDIS_OK) {
        auto* message = static_cast<redisReply*>(raw);
        if (message->type == REDIS_REPLY_ARRAY && message->elements == 3 &&
            std::strcmp(message->element[0]->str, "message") == 0) {
          m_sink.onEvent(message->element[2]->str, message->element[2]->len);
        }
        freeReplyObject(message);
      }
    });
    return true;
  }
  bool publish(const std::string& subject, const std::string& data) override {
    if (redisAppendCommand(m_pub, "PUBLISH %s %b", subject.c_str(), data.data(), data.size()) != REDIS_OK) {
      return false;
    }
    return ++m_pending < kPipeline || readReplies();
  }
  bool publishNow(const std::string& subject, const std::string& data) override {
    auto* reply = static_cast<redisReply*>(redisCommand(m_pub, "PUBLISH %s %b", subject.c_str(), data.data(),
                                                        data.size()));
    if (reply == nullptr) return false;
    freeReplyObject(reply);
    return true;
  }
  bool finish(int) override { return readReplies(); }

 private:
  bool readReplies() {
    for (; m_pending > 0; --m_pending) {
      void* reply = nullptr;
      if (redisGetReply(m_pub, &reply) != REDIS_OK) return false;
      freeReplyObject(reply);
    }
    return true;
  }

  std::string m_path;
  redisContext* m_pub;
  redisContext* m_sub = nullptr;
  Receiver& m_sink;
  long m_pending = 0;
  std::thread m_receiver;
};

class RedisTransport : public Transport {
 public:
  const char* name() const override { return "redis"; }
  const char* shape() const override {
    return "redis-server on a Unix socket (no TCP, no persistence, defaults otherwise), hiredis: pipelined "
           "PUBLISH (replies read every 1,000), handler on the receiving thread";
  }
  Broker start(const std::string& dir) const override {
    const std::string config = dir + "/redis.conf";
    const std::string socketPath = dir + "/redis.sock";
    FILE* file = std::fopen(config.c_str(), "w");
    if (file == nullptr) return Broker{};
    std::fprintf(file,
                 "port 0\nunixsocket %s\nunixsocketperm 700\ndaemonize no\nsave \"\"\nappendonly no\n"
                 "dir %s\nlogfile %s/redis.log\n",
                 socketPath.c_str(), dir.c_str(), dir.c_str());
    std::fclose(file);
    return Broker{spawnProgram({"redis-server", config}, dir + "/redis-server.out"), socketPath};
  }
  std::unique_ptr<Endpoint> connect(const std::string& address, Receiver& receiver, const Role&) const override {
    redisContext* context = nullptr;
    const bool connected = retryFor(30000, [&] {
      context = redisConnectUnix(address.c_str());
      if (context != nullptr && context->err == 0) return true;
      if (context != nullptr) redisFree(context);
      context = nullptr;
      return false;
    });
    if (!connected) return nullptr;
    return std::make_unique<RedisEndpoint>(address, context, receiver);
  }
};

}  // namespace

const Transport& redisTransport() {
  static const RedisTransport transport;
  return transport;
}

}  // namespace peers
