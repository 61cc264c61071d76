// Narrow access to the engine's private state for its tests, fuzz targets
// and benchmarks: the engine's befriended probe. Nothing in the library uses
// it. Readers of the tables take the engine lock as the engine does.
#pragma once

#include <string>
#include <string_view>

#include "Library/CEventLibImpl.h"

class EngineProbe {
 public:
  // Hands the engine one received text, or one request list of it, as the
  // request thread would.
  static void dispatchText(CEventLibImpl& engine, const std::string& text) { engine.dispatchText(text); }
  static void dispatch(CEventLibImpl& engine, std::string_view requestList) { engine.dispatch(requestList); }

  // The store the engine numbers its events from.
  static CCategorySeqNo& store(CEventLibImpl& engine) { return engine.m_categorySeqNo; }
  // Requests waiting in the send queue; `clear` drops them unsent.
  static unsigned long queuedRequests(CEventLibImpl& engine) {
    CPCritSecHold lock(*engine.m_pCritSec, __LINE__);
    return engine.m_sendQueue.count();
  }
  static void dropQueue(CEventLibImpl& engine) {
    CPCritSecHold lock(*engine.m_pCritSec, __LINE__);
    engine.m_sendQueue.clear();
  }
  // Queues one request list as the engine's own operations do.
  static void queueRequest(CEventLibImpl& engine, const std::string& request) {
    CPCritSecHold lock(*engine.m_pCritSec, __LINE__);
    engine.queueRequestLocked(request);
  }
  // Makes deliverEvent queue as it would for a registered client.
  static void markConnected(CEventLibImpl& engine) { engine.m_bConnected.store(1); }

  // The last number this engine sent in `category` (0: none).
  static unsigned long long lastNumberSent(CEventLibImpl& engine, const std::string& category) {
    CPCritSecHold lock(*engine.m_pCritSec, __LINE__);
    auto found = engine.m_mapSeqNoSent.find(category);
    return found == engine.m_mapSeqNoSent.end() ? 0 : found->second;
  }

  // The subscription tables under one key: subscriptions filed, the key's use
  // count, and whether it waits for this server's id.
  struct KeyState {
    std::size_t filed = 0;
    unsigned long uses = 0;
    bool unresolved = false;
  };
  static KeyState key(CEventLibImpl& engine, const std::string& key) {
    CPCritSecHold lock(*engine.m_pCritSec, __LINE__);
    KeyState state;
    state.filed = engine.m_mmapSubscriptions.count(key);
    auto uses = engine.m_mapSubscriptionUseCounts.find(key);
    if (uses != engine.m_mapSubscriptionUseCounts.end()) state.uses = uses->second;
    state.unresolved = engine.m_mapUnresolvedSubscriptions.count(key) != 0;
    return state;
  }
  // True when every key's use count equals its filed subscriptions and no
  // filed key lacks a count.
  static bool tablesAgree(CEventLibImpl& engine) {
    CPCritSecHold lock(*engine.m_pCritSec, __LINE__);
    for (const auto& count : engine.m_mapSubscriptionUseCounts)
      if (count.second != engine.m_mmapSubscriptions.count(count.first)) return false;
    for (const auto& entry : engine.m_mmapSubscriptions)
      if (engine.m_mapSubscriptionUseCounts.count(entry.first) == 0) return false;
    return true;
  }

  // The threads and the channel are gone (after finalize).
  static bool stopped(CEventLibImpl& engine) {
    return engine.m_bSendThreadRunning.load() == 0 && engine.m_bInitThreadRunning.load() == 0 &&
           engine.m_pIPC.load() == nullptr;
  }
  static bool initThreadRunning(CEventLibImpl& engine) { return engine.m_bInitThreadRunning.load() != 0; }
  static bool hasChannel(CEventLibImpl& engine) { return engine.m_pIPC.load() != nullptr; }

  // One command/answer exchange as the send thread makes it.
  static long exchange(CEventLibImpl& engine, CECMD cmd, const std::string& input, std::string* pAnswer) {
    CPCritSecHold lock(engine.m_critSecIPC, __LINE__);
    return engine.sendReceiveIPC(cmd, input, pAnswer);
  }
};
