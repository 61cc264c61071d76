// The event service's loop: one thread, one epoll set holding the listening
// socket, a signal descriptor and every client's non-blocking socket. Client
// commands are answered as they arrive, whatever the client owes us, except
// that the answer to a queue text waits while a client it routed events to
// is congested (so that a publisher goes at the pace of its subscribers
// instead of their events being dropped); the requests routed to a client
// leave in one text at a time, the next only after the client answered the
// previous one.
#pragma once

#include <signal.h>

#include <sys/epoll.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "Library/CEResultCodes.h"
#include "eventd/ClientSession.h"
#include "eventd/ClientTable.h"
#include "eventd/MetricsEndpoint.h"
#include "eventd/MetricsReport.h"
#include "eventd/Router.h"
#include "protocol/ChannelServer.h"

namespace evt::service {

struct ServiceOptions {
  uint32_t serverId = 1;
  std::string endpoint;  // socket path
  int listenFd = -1;     // a listening socket at `endpoint` handed over (-1: eventd makes its own)
  QueueLimits limits;
  HoldLimits hold;
  std::size_t batchRequests = 4096;            // requests per text sent
  std::size_t batchBytes = 1024u * 1024u;      // about this many bytes per text
  std::size_t outputLimit = 80u * 1024u * 1024u;  // unsent bytes before a client is dropped
  std::size_t memoryLimit = std::size_t{1} << 30;  // queued and unfinished bytes of all clients together
  // A client whose frame is still unfinished this long after its first byte
  // is dropped, however it trickles.
  std::chrono::milliseconds partialFrameTimeout{30000};
  // A connection that sent no command this long after connecting is dropped.
  std::chrono::milliseconds registrationTimeout{10000};
  // Connections one user (uid) may hold, root included.
  std::size_t connectionsPerUser = 256;  // eventd's main sets a quarter of its descriptor limit
};

// The answer a connection refused for a limit gets before it is closed
// (request id 0, the text naming the limit).
inline constexpr const char* kConnectionLimitText = "the service is at its connection limit";
// Header word 2 of that answer is EVTD_E_CONNECTION_LIMIT.

class Service {
 public:
  Service(ServiceOptions options, unsigned long long seqNoBase, Router::SeqNoReader currentSeqNo = Router::SeqNoReader());
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Listens at the endpoint and prepares the loop. 0, ZEBIPC_E_IN_USE when a
  // live service listens there, or another negative code with
  // openFailure() saying why (the caller reports it).
  long open();
  const std::string& openFailure() const { return m_openFailure; }
  // The link to other servers, served by the loop from open() on (null:
  // this server alone). Not owned; outlives the loop.
  void setFederation(Federation* federation);
  // The metrics endpoint, whose scrapes the loop answers with a text made
  // from its tables (null: none). Not owned; outlives the loop.
  void setMetrics(MetricsEndpoint* metrics);
  Router& router() { return m_router; }
  // Serves until SIGTERM or SIGINT (blocked by the caller and taken through
  // a signal descriptor); 0 on a clean stop, 1 when the loop failed or
  // another eventd serves this server id on the federation.
  int run();

 private:
  // What one round of the loop leaves to the next.
  struct RoundState {
    static constexpr int kReady = 64;
    epoll_event ready[kReady];
    bool waiting = false;   // answers held back or events held: wake to check
    int federationMs = -1;  // until the federation link's next turn
  };
  // One round: waits for the descriptors, serves them, and sends what was
  // routed. False when the loop failed.
  bool runRound(RoundState& state);
  // A stopping eventd first hands its clients what it routed to them, which
  // their libraries cannot ask for again, while they take it: for at most
  // kDrainFor, or until a second signal. New clients are not taken.
  void drainClients(RoundState& state);

  // Clients coming and going (Service.cpp).
  void drop(ClientSession& client, const char* reason);
  // Logs the client's arrival once it does more than ask for status or a
  // dump, or when it is dropped for a fault.
  void announce(ClientSession& client);

  // Admission and its limits (ServiceAdmission.cpp).
  void acceptClients();
  // While accepting rests for want of descriptors: refuses the connections
  // that waited too long; true (the loop wakes to check again) while it rests.
  bool refuseWaitingIfDue();
  // Accepts on the descriptor kept in reserve and refuses, with the limit
  // named, the connections waiting while eventd has no descriptor left.
  void refuseWaiting();
  // Tells the connection on `fd` that `why` and closes it.
  void refuse(int fd, const char* why);
  // Asks epoll for new connections or stops asking (out of descriptors).
  void watchListener(bool watch);
  // Drops the clients whose unfinished frame began partialFrameTimeout ago
  // and those that sent no command within registrationTimeout; true
  // while some client may still be (the loop then wakes to check).
  bool dropLateClients();
  void closeDropped();

  // The memory budget (ServiceMemory.cpp).
  // The client's budget shares after it read: false when it was dropped.
  bool withinShares(ClientSession& client);
  // With more than a quarter of the memory budget held, sheds the queued
  // events of clients that do not read what they are sent (they are told of
  // the gap), then (above three quarters) disconnects those holding the
  // largest unfinished frames, before readers lose events.
  void shedMemory();

  // Input: frames and commands (ServiceInput.cpp).
  void readFrom(ClientSession& client);
  // `text` is the frame's text, a view into the client's input.
  void handleFrame(ClientSession& client, const channel::Frame& frame, std::string_view text);
  void answerCommand(ClientSession& client, const channel::Frame& frame, std::string_view text);

  // Output and flow control (ServiceOutput.cpp).
  // Sends the answer to `frame`, or holds back the answer to a queue text
  // while the publisher's subscribers catch up.
  void sendAnswer(ClientSession& client, const channel::Frame& frame, channel::Frame answer);
  void sendPending(ClientSession& client);
  // Sends the client's pending requests unless too many texts await its answer.
  void sendIfDue(ClientSession& client);
  // Flow control, once a round: sends the answers held back for publishers
  // whose subscribers drained or stalled, and hands on events whose missing
  // numbers were given up. True while something still waits for time.
  bool settleWaits();
  bool mustWait(const ClientSession& publisher, ClientSession::Clock::time_point now) const;
  void releaseAnswers(ClientSession& publisher, ClientSession::Clock::time_point now);
  void queueFrame(ClientSession& client, const channel::Frame& frame) { queueFrame(client, frame, frame.text); }
  // The same with the text taken from `text` instead of frame.text.
  void queueFrame(ClientSession& client, const channel::Frame& frame, std::string_view text);
  void writeTo(ClientSession& client);
  // Ends a cork: writes what was gathered meanwhile.
  void uncork(ClientSession& client);
  void watchOutput(ClientSession& client, bool watch);

  const ServiceOptions m_options;
  MemoryBudget m_budget;  // before the clients, which return their share to it
  uint64_t m_shedQueues = 0;  // times a stalled client's queued events were shed
  ClientTable m_clients;
  Router m_router;
  channel::ChannelListener m_listener;
  int m_epoll = -1;
  int m_signals = -1;
  bool m_stop = false;
  bool m_draining = false;  // stopping: only what clients were routed goes on
  std::string m_openFailure;
  Federation* m_federation = nullptr;
  MetricsEndpoint* m_metrics = nullptr;
  ServiceTimings m_timings;
  uint64_t m_round = 0;  // loop rounds, for what is bounded per round

  // Admission.
  uint64_t m_nextClient = 1;
  std::map<uid_t, std::size_t> m_connectionsByUser;
  bool m_listenerWatched = true;
  uint64_t m_acceptPauses = 0;  // times the descriptor limit stopped accepting
  ClientSession::Clock::time_point m_pausedSince;  // accepting rests since then
  // Opened at start and given up for a moment to refuse connections while
  // no other descriptor is left.
  int m_reserveFd = -1;
  uint64_t m_refusedConnections = 0;
  LogAllowance m_refusalLog;  // the lines refusing connections may take

  // Input and output.
  uint32_t m_nextRequestId = 1;
  uint64_t m_badFrames = 0;
  uint64_t m_unknownCommands = 0;
  uint64_t m_dumpsLeftOut = 0;
};

// The signals the loop takes through its signal descriptor (stop: TERM,
// INT; reopen the log: HUP); blocked in every thread from the start.
sigset_t loopSignals();

}  // namespace evt::service
