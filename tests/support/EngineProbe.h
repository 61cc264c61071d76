// The engine's befriended probe: narrow access to its private state for tests, fuzz targets and benchmarks, unused
// by the library. Readers of the tables take the engine lock as the engine does.
#pragma once

#include <string>
#include <string_view>

#include "Library/CEventLibImpl.h"

class EngineProbe {
 public:
  // Hands the engine one received text, or one request list of it, as the request thread would.
  static void dispatchText(CEventLibImpl& engine, const std::string& text) { engine.dispatchText(text); }
  static void dispatch(CEventLibImpl& engine, std::string_view requestList) { engine.dispatch(requestList); }

  // The store the engine numbers its events from.
  static CCategorySeqNo& store(CEventLibImpl& engine) { return engine.m_categorySeqNo; }
  // Drops the requests waiting in the send queue, unsent.
  static void dropQueue(CEventLibImpl& engine) {
    CPCritSecHold lock(*engine.m_pCritSec, __LINE__);
    engine.m_sendQueue.clear();
  }
  // Makes deliverEvent queue as it would for a registered client.
  static void markConnected(CEventLibImpl& engine) { engine.m_bConnected.store(1); }

  // True when every subscription key's use count equals its filed subscriptions and no filed key lacks a count.
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

  // One command/answer exchange as the send thread makes it.
  static long exchange(CEventLibImpl& engine, CECMD cmd, const std::string& input, std::string* pAnswer) {
    CPCritSecHold lock(engine.m_critSecIPC, __LINE__);
    return engine.sendReceiveIPC(cmd, input, pAnswer);
  }
};
