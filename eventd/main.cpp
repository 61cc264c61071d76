// eventd: the event service. Clients of this machine connect to it through
// the channel; it registers them and routes their events, notices and
// completions. Stops cleanly on SIGTERM and SIGINT.
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "Library/CEResultCodes.h"
#include "Service/CategorySeqNo.h"
#include "common/CommandLine.h"
#ifdef EVT_HAVE_FEDERATION
#include "eventd/NatsFederation.h"
#endif
#include "eventd/MetricsEndpoint.h"
#include "eventd/Readiness.h"
#include "eventd/SeriesFloors.h"
#include "eventd/Service.h"
#include "eventd/ServiceLog.h"
#include "eventd/StoreReader.h"
#include "platform/KelRegLib.h"
#include "platform/linux/AccessGroup.h"
#include "platform/linux/Endpoint.h"
#include "protocol/Protocol.h"
#include "trace/KelException.h"
#include "trace/_Trace.h"

namespace {

// How many full logs eventd keeps (eventd.log.1 to .N), handed to the
// logging library through KelLogLib::kLogKeepEnv.
constexpr unsigned kDefaultLogKeep = 5;
// How long after a restart the clients of the last eventd are taken to be
// coming back: they reconnect within their backoff and send what they had
// queued at once.
constexpr std::chrono::milliseconds kRecoveryWindow{3000};

// The listening socket a service manager handed over (socket activation:
// $LISTEN_PID names this process and $LISTEN_FDS is 1; the socket is
// descriptor 3), or -1.
int inheritedListener() {
  const char* pid = std::getenv("LISTEN_PID");
  const char* fds = std::getenv("LISTEN_FDS");
  if (pid == nullptr || fds == nullptr || std::strtol(pid, nullptr, 10) != getpid()) return -1;
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  return std::strtol(fds, nullptr, 10) == 1 ? 3 : -1;
}

// The registry's "LocalDBServerID", or 1 (also for 0 and 0xFFFFFFFF, which
// name no server).
uint32_t registryServerId() {
  uint32_t value = 0;
  return KelRegLib::queryLocalDBServerId(&value) < 0 || value == 0 || value == 0xFFFFFFFFu ? 1 : value;
}

// The folder part of `path` ("" for none: the socket goes where eventd runs).
std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

// Whether eventd may make its socket at `path`: the folder is there and
// this user may write it, or the folder above lets it be made. Otherwise
// says which folder fails and what to do instead.
bool socketFolderUsable(const std::string& path) {
  const std::string dir = folderOf(path);
  if (dir.empty()) return true;
  std::string problem;
  struct stat info {};
  if (stat(dir.c_str(), &info) == 0) {
    if (!S_ISDIR(info.st_mode)) {
      problem = "the socket folder " + dir + " is not a folder";
    } else if (access(dir.c_str(), W_OK | X_OK) != 0) {
      problem = "cannot create the socket in folder " + dir + ": " + std::strerror(errno);
    }
  } else if (errno == ENOENT) {
    const std::string parent = folderOf(dir);
    if (access(parent.empty() ? "/" : parent.c_str(), W_OK | X_OK) != 0) {
      problem = "cannot create the socket folder " + dir + ": " + std::strerror(errno);
    }
  } else {
    problem = "cannot create the socket folder " + dir + ": " + std::strerror(errno);
  }
  if (problem.empty()) return true;
  std::fprintf(stderr,
               "eventd: %s; run eventd as root (as its service unit does), or give it a folder this user may "
               "write: --socket PATH or $%s\n",
               problem.c_str(), evt::channel::kRuntimeDirEnv);
  return false;
}

// Whether `dir` (--log-dir) is a folder eventd may write its log into;
// otherwise says why. eventd makes no log folder of its own accord: a
// mistyped one would leave the log where nobody looks.
bool logFolderUsable(const std::string& dir) {
  struct stat info {};
  const char* problem = nullptr;
  if (stat(dir.c_str(), &info) != 0) {
    problem = std::strerror(errno);
  } else if (!S_ISDIR(info.st_mode)) {
    problem = "not a folder";
  } else if (access(dir.c_str(), W_OK | X_OK) != 0) {
    problem = std::strerror(errno);
  }
  if (problem == nullptr) return true;
  std::fprintf(stderr, "eventd: --log-dir %s: %s; give a folder eventd may write, or --log-dir stderr\n", dir.c_str(),
               problem);
  return false;
}

// Raises the soft limit on open descriptors to the hard one (at most
// kDescriptorsWanted): each client holds one. Returns the limit in force.
std::size_t raiseDescriptorLimit() {
  constexpr rlim_t kDescriptorsWanted = 65536;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  const rlim_t wanted =
      limit.rlim_max == RLIM_INFINITY ? kDescriptorsWanted : std::min(limit.rlim_max, kDescriptorsWanted);
  if (limit.rlim_cur < wanted) {
    const rlim_t before = limit.rlim_cur;
    limit.rlim_cur = wanted;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) limit.rlim_cur = before;
  }
  return static_cast<std::size_t>(limit.rlim_cur);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"eventd: the local publish/subscribe event service.\n"
               "Clients find it at $EVT_RUNTIME_DIR/" +
               std::string(kServiceChannelName) + "-" + kServiceChannelId + ".sock (default directory " +
               evt::channel::kDefaultRuntimeDir + ")."};
  evt::service::ServiceOptions options;
  long long serverId = 0;
  std::string socketPath = evt::channel::endpointPath(kServiceChannelName, kServiceChannelId);
  std::string logDir;
  app.add_option("--server-id", serverId,
                 "this machine's server id, 1 to 2147483647 (default: registry value LocalDBServerID, else 1)")
      ->check(evt::tool::between(1LL, 0x7FFFFFFFLL));
  app.add_option("--socket", socketPath, "listen at this socket path instead")->capture_default_str();
  app.add_option("--queue-limit", options.limits.requests,
                 "requests queued for a stalled client before its events are dropped")
      ->check(evt::tool::between<std::size_t>(1, 0xFFFFFFFFu))
      ->capture_default_str();
  app.add_option("--queue-bytes", options.limits.bytes,
                 "bytes queued for a stalled client before its events are dropped")
      ->check(evt::tool::between(std::size_t{1} << 16, std::size_t{1} << 30))
      ->capture_default_str();
  app.add_option("--high-water", options.limits.highWaterBytes,
                 "bytes queued for a client above which its publishers wait for it")
      ->check(evt::tool::between(std::size_t{1} << 12, std::size_t{1} << 30))
      ->capture_default_str();
  long long stallMs = options.limits.stallTime.count();
  app.add_option("--stall-timeout", stallMs,
                 "milliseconds publishers wait for a congested client before going on without it (at most 8000)")
      ->check(evt::tool::between(0LL, 8000LL))
      ->capture_default_str();
  long long holdMs = options.hold.time.count();
  app.add_option("--hold-time", holdMs,
                 "milliseconds an event ahead of a missing number waits for it before the number is given up")
      ->check(evt::tool::between(0LL, 60000LL))
      ->capture_default_str();
  app.add_option("--max-memory", options.memoryLimit,
                 "bytes queued for and received unfinished from all clients together; beyond it events are dropped "
                 "(and reported as missed). One client may hold an eighth of it, the clients of one user (uid) "
                 "half: beyond, events for them are dropped and one sending more of a frame is disconnected. From "
                 "a quarter of it on, clients that do not read are disconnected, from three quarters on those holding "
                 "the largest unfinished frames")
      ->check(evt::tool::between(std::size_t{1} << 24, std::numeric_limits<std::size_t>::max()))
      ->capture_default_str();
  app.add_option("--max-subscriptions", options.limits.subscriptions, "subscriptions one client may hold")
      ->check(evt::tool::between<std::size_t>(1, 0xFFFFFFFFu))
      ->capture_default_str();
  long long partialMs = options.partialFrameTimeout.count();
  app.add_option("--partial-timeout", partialMs,
                 "milliseconds from a frame's first byte within which a client must finish it, however slowly it "
                 "sends, or be disconnected")
      ->check(evt::tool::between(100LL, 3600000LL))
      ->capture_default_str();
  long long registerMs = options.registrationTimeout.count();
  app.add_option("--register-timeout", registerMs,
                 "milliseconds a new connection may stay silent (a client registers at once) before it is "
                 "disconnected")
      ->check(evt::tool::between(100LL, 3600000LL))
      ->capture_default_str();
  options.connectionsPerUser = 0;
  app.add_option("--max-connections-per-user", options.connectionsPerUser,
                 "connections the processes of one user (uid, root too) may hold together; further "
                 "ones are told the service is at its connection limit and closed (0: a quarter of eventd's "
                 "descriptor limit)")
      ->check(evt::tool::between<std::size_t>(0, 0xFFFFFFFFu))
      ->capture_default_str();
  unsigned long long logMaxBytes = KelLogLib::kDefaultLogMaxBytes;
  app.add_option("--log-max-bytes", logMaxBytes,
                 "a log file this large is renamed to eventd.log.1 (the older ones move on to .2 and so on, see "
                 "--log-keep) and begun anew; 0: no bound")
      ->check(evt::tool::atLeast(0ULL))
      ->capture_default_str();
  unsigned logKeep = kDefaultLogKeep;
  app.add_option("--log-keep", logKeep,
                 "full log files kept beside the one written: eventd.log.1 (the newest) to eventd.log.N, the oldest "
                 "removed")
      ->check(evt::tool::between(1u, 100u))
      ->capture_default_str();
  std::string group;
  app.add_option("--group", group,
                 "the group whose members may use the service and the store (default $EVT_GROUP, else 'evt' when "
                 "that group exists, else the creator's group)");
  std::string federation;
  app.add_option("--federation", federation,
                 "join the NATS cluster at these URLs (nats://HOST:PORT, several joined by ','), one server among "
                 "several, each with its own --server-id (default: registry value Federation; none: this machine "
                 "alone)");
  evt::service::FederationStream federationStream;
  app.add_flag("--federation-stream", federationStream.enabled,
               "keep this server's federated events in a NATS JetStream stream (NATS servers run with -js) and take "
               "other servers' up again from theirs after a partition or a restart: replayed, in order, once");
  app.add_option("--federation-stream-bytes", federationStream.maxBytes,
                 "with --federation-stream, the most bytes the stream keeps; the oldest go first")
      ->check(evt::tool::between(int64_t{1} << 20, int64_t{1} << 50))
      ->capture_default_str();
  app.add_option("--federation-stream-age", federationStream.maxAgeSeconds,
                 "with --federation-stream, the longest in seconds the stream keeps an event, and a cut-off follower "
                 "is still sent events for")
      ->check(evt::tool::between(int64_t{10}, int64_t{30} * 24 * 3600))
      ->capture_default_str();
  std::string metricsAddress;
  app.add_option("--metrics", metricsAddress,
                 "serve Prometheus metrics over HTTP at GET /metrics, at ADDRESS:PORT on loopback (127.0.0.1:9464, "
                 "[::1]:9464, localhost:9464; port 0 picks one, logged) or at a Unix socket path (holding a '/'); "
                 "default: none");
  app.add_option("--log-dir", logDir,
                 "write eventd.log here, an existing folder ('stderr': standard error; default $EVT_LOG_DIR)");
  evt::tool::addVersionFlag(app);
  int exitCode = 0;
  if (!evt::tool::parseCommandLine(app, argc, argv, &exitCode)) return exitCode;

  options.limits.stallTime = std::chrono::milliseconds(stallMs);
  options.hold.time = std::chrono::milliseconds(holdMs);
  options.partialFrameTimeout = std::chrono::milliseconds(partialMs);
  options.registrationTimeout = std::chrono::milliseconds(registerMs);
  const std::size_t descriptors = raiseDescriptorLimit();
  if (options.connectionsPerUser == 0) options.connectionsPerUser = std::max<std::size_t>(descriptors / 4, 16);
  if (!logDir.empty() && logDir != "stderr" && !logFolderUsable(logDir)) return 2;
  if (!logDir.empty()) setenv(KelLogLib::kLogDirEnv, logDir.c_str(), 1);
  setenv(KelLogLib::kLogMaxBytesEnv, std::to_string(logMaxBytes).c_str(), 1);
  setenv(KelLogLib::kLogKeepEnv, std::to_string(logKeep).c_str(), 1);
  if (!group.empty()) {
    setenv(evt::platform::kAccessGroupEnv, group.c_str(), 1);
    if (evt::platform::accessGroupId() == static_cast<gid_t>(-1)) {
      std::fprintf(stderr, "eventd: --group: no group named %s\n", group.c_str());
      return 2;
    }
  }
  const bool federationAsked = !federation.empty();
  if (!federationAsked) KelRegLib::queryRegistryText("Federation", &federation);
  if (federationStream.enabled && federation.empty()) {
    std::fprintf(stderr, "eventd: --federation-stream needs --federation (or the registry value Federation)\n");
    return 2;
  }
#ifndef EVT_HAVE_FEDERATION
  if (!federation.empty()) {
    std::fprintf(stderr, "eventd: this eventd was built without federation (libnats was not available to it)%s\n",
                 federationAsked ? "; --federation cannot be used" : ", so it ignores the registry value Federation");
    if (federationAsked) return 2;
    federation.clear();
  }
#endif
  options.serverId = serverId != 0 ? static_cast<uint32_t>(serverId) : registryServerId();
  options.endpoint = socketPath;
  options.listenFd = inheritedListener();
  if (!evt::channel::endpointFits(socketPath)) {
    std::fprintf(stderr, "eventd: socket path too long: %s\n", socketPath.c_str());
    return 2;
  }
  if (options.listenFd < 0 && !socketFolderUsable(socketPath)) return 1;

  // Batches of a few hundred kilobytes come and go all the time; served from
  // the heap instead of fresh mappings, they cost no page faults each time.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);

  signal(SIGPIPE, SIG_IGN);

  // What the library logs (the shared store's failures above all) goes to
  // evt.log in the log directory, as in any host.
  CLibraryLog libraryLog;

  // The shared store gives this machine's sequence-number base, which
  // subscribers need before their first event.
  std::unique_ptr<CCategorySeqNo> store;
  try {
    store = std::make_unique<CCategorySeqNo>();
  } catch (const KelException& e) {
    // The library logged the cause (a full /dev/shm, a damaged object).
    const std::string path = libraryLog.path();
    const std::string where = path.empty() ? "above" : "in " + path;
    std::fprintf(stderr, "eventd: cannot open the shared sequence-number store (0x%08X); the cause is logged %s\n",
                 ce::wordFromResult(e.code()), where.c_str());
    return 1;
  }
  // From here stop and reopen signals are taken by the loop's signal
  // descriptor; until now (a store whose lock is stuck takes seconds to give
  // up on) they stop eventd at once.
  const sigset_t loopSignals = evt::service::loopSignals();
  sigprocmask(SIG_BLOCK, &loopSignals, nullptr);

  // Declared before the service, which tells it of the clients' leaving
  // when it closes.
  std::unique_ptr<evt::service::Federation> link;
  // Where this server's followed series stand, kept next to the socket for
  // the next eventd. Declared before the service, which records into it.
  evt::service::SeriesFloors floors;
  // Where other servers' followed pairs stand in their streams, kept the same way.
  evt::service::SeriesFloors streamPositions;
  // Which other servers follow this server's pairs, and until when, kept the same way.
  evt::service::SeriesFloors followerLeases;
  // Where a pair's series stands when it gets its first subscriber: read
  // without the store's locks, which clients hold.
  evt::service::Service service(options, store->getSeqNoBase(), evt::service::readIssuedSeqNo);
  long result = service.open();
  if (result == ZEBIPC_E_IN_USE) {
    std::fprintf(stderr, "eventd: another eventd is already running at %s\n", socketPath.c_str());
    return 1;
  }
  if (result < 0) {
    std::fprintf(stderr, "eventd: cannot listen at %s: %s (0x%08X)\n", socketPath.c_str(),
                 service.openFailure().c_str(), ce::wordFromResult(result));
    return 1;
  }
  evt::service::openServiceLog();
  evt::service::logInfo(
      "eventd started: socket %s, group %s, server id %u, queue limit %zu requests / %zu bytes, high water %zu bytes, "
      "stall timeout %lld ms, hold time %lld ms",
      socketPath.c_str(),
      evt::platform::accessGroupId() == static_cast<gid_t>(-1)
          ? "none (objects keep their creator's group)"
          : evt::platform::accessGroupName().c_str(),
      static_cast<unsigned>(options.serverId), options.limits.requests, options.limits.bytes,
      options.limits.highWaterBytes, stallMs, holdMs);
  {
    // Opened once the socket is this eventd's: no other eventd writes there.
    const std::string floorsPath = socketPath + ".floors";
    std::string error;
    if (!floors.open(floorsPath, store->getSeqNoBase(), &error)) {
      evt::service::logError("cannot keep where series stand in %s: %s; after a restart, events hosts send again "
                             "are dropped as numbered before their subscription",
                             floorsPath.c_str(), error.c_str());
    } else {
      service.router().keepFloorsIn(&floors, kRecoveryWindow);
      if (floors.inherited()) {
        evt::service::logInfo("an eventd ran before this one: for %lld ms, the series it routed resume where it "
                              "left them, and events hosts send again are kept for the subscribers coming back",
                              static_cast<long long>(kRecoveryWindow.count()));
      }
    }
  }
#ifdef EVT_HAVE_FEDERATION
  if (!federation.empty()) {
    std::string error;
    if (federationStream.enabled) {
      const std::string positionsPath = socketPath + ".streams";
      // Not tied to this machine's store: the positions are in other servers' streams.
      if (!streamPositions.open(positionsPath, 0, &error)) {
        evt::service::logError("cannot keep where followed pairs stand in their streams in %s: %s; after a "
                               "restart, what other servers sent meanwhile is reported missed",
                               positionsPath.c_str(), error.c_str());
      }
      const std::string leasesPath = socketPath + ".followers";
      if (!followerLeases.open(leasesPath, 0, &error)) {
        evt::service::logError("cannot keep which servers follow this one's pairs in %s: %s; after a restart, "
                               "what hosts send before those servers are heard again is reported missed to them",
                               leasesPath.c_str(), error.c_str());
      }
    }
    link = evt::service::startNatsFederation({federation, options.serverId, store->getSeqNoBase(), federationStream,
                                              streamPositions.isOpen() ? &streamPositions : nullptr,
                                              followerLeases.isOpen() ? &followerLeases : nullptr},
                                             service.router().federation(), &error);
    if (link == nullptr) {
      evt::service::logError("federation %s: %s", federation.c_str(), error.c_str());
      std::fprintf(stderr, "eventd: federation %s: %s\n", federation.c_str(), error.c_str());
      return 2;
    }
    service.setFederation(link.get());
  }
#endif
  std::unique_ptr<evt::service::MetricsEndpoint> metrics;
  if (!metricsAddress.empty()) {
    std::string error;
    metrics = evt::service::MetricsEndpoint::open(metricsAddress, &error);
    if (metrics == nullptr) {
      evt::service::logError("--metrics %s: %s", metricsAddress.c_str(), error.c_str());
      std::fprintf(stderr, "eventd: --metrics %s: %s\n", metricsAddress.c_str(), error.c_str());
      return 2;
    }
    service.setMetrics(metrics.get());
    metrics->start();  // after the loop's signals were blocked, which its thread inherits
    evt::service::logInfo("metrics served at http://%s/metrics", metrics->address().c_str());
  }
  if (!evt::service::notifyServiceManager("READY=1\nSTATUS=listening at " + socketPath + "\nMAINPID=" +
                                          std::to_string(getpid()))) {
    evt::service::logError("could not tell the service manager (NOTIFY_SOCKET) that eventd is ready");
  }
  int status = service.run();
  evt::service::notifyServiceManager("STOPPING=1");
  evt::service::closeServiceLog();
  return status;
}
