// CEventLib: the client object a host creates to talk to the event service.
//
//   CEventLib client("my-host", &events, &publishes, &completions);
//   client.initialize();        // threads start; the service may come later
//   ...                         // queue requests
//   client.execute(0);          // send them within 200 ms (an id: at once)
//   client.finalize();          // or just destroy the object
//
// Every operation but initialize and finalize is refused with CE_E_STOPPING
// once finalize has begun. Texts (categories, keys, data, subscriptions) may
// hold any byte but NUL. Refused with CE_E_INVALID_TEXT (0xC11F0D52), the
// reason logged: a text with a NUL; an empty category; keys or key patterns
// that are not a parameter list (build them with CGenList; "" is no keys);
// and, given to publish or deliverEvent, the system's own categories
// "eventsystem" and "$this$seqnobase$". Results are 32-bit codes, negative
// on failure.
//
// Threads: every operation but finalize may be called from several host
// threads at once; the engine's tables and send queue are kept under its
// lock, and deliverEvent numbers and queues one event at a time, so each
// thread's events leave in the order it delivered them. finalize is called
// from one thread at a time, never from a handler (refused there with
// CE_E_IN_HANDLER), and the object is never destroyed in one; operations
// other threads call meanwhile return CE_E_STOPPING. The object is destroyed only once no
// other thread uses it. The handlers are called on the library's one request
// thread (see CEventHandlers.h), never on a host's thread.
//
// Connection: initialize returns at once; the library connects in the
// background and again after the service restarts, renewing what the host
// publishes and subscribes to. Until then execute and deliverEvent give
// CE_E_NOT_CONNECTED and take no number. To wait until connected, wait for
// the event handler's "eventsystem" event "connected" of thisServerId(), or
// poll isConnected().
#pragma once

#include <string>

#include "CEExport.h"
#include "CEventHandlers.h"

class CEventLibImpl;
class CParamsX;

class CE_EXPORT CEventLib {
 public:
  // The handlers (any may be null) stay the host's. Opens this machine's
  // shared sequence-number store; throws KelException (a std::exception;
  // what() names the code and where it was thrown) when it cannot:
  //  - CE_E_ACCESS_DENIED (0xC11F0D56): the store belongs to a group this
  //    process is not a member of; the service's users are the members of
  //    one group (EVT_GROUP, by default "evt"), which the log names.
  //  - CE_E_STORE_BUSY (0xC11F0D54): a lock of the store stayed held for
  //    5 s (its holder is stuck or not a process of this store).
  //  - CE_E_CREATE (0xC11F0D48): the engine could not be allocated, or an
  //    object of the store could not be created, sized or mapped (such as
  //    /dev/shm full, or an object cut short by another version); the log
  //    says why.
  // Other allocations may throw std::bad_alloc. A host catches
  // `const KelException&` (code() for the code) or `const std::exception&`
  // around the construction.
  CEventLib(const std::string& name, CEventHandler* pEventHandler, CPublishHandler* pPublishHandler,
            CCompletionHandler* pCompletionHandler);
  // Finalizes and frees the engine.
  virtual ~CEventLib();
  CEventLib(const CEventLib&) = delete;
  CEventLib& operator=(const CEventLib&) = delete;

  long initialize();
  // Hands what is queued to the service first: while connected it waits up
  // to 2 s for the service to take everything queued before the call
  // (events, subscriptions, completion ids), then stops the library's
  // threads. What could not be handed over in that time, or was queued
  // while the service was gone, is dropped; its events' subscribers get a
  // "missed-event" report for them. No handler is called once finalize
  // returns, so completions still unanswered then are not reported. 0;
  // called from a handler, CE_E_IN_HANDLER (0xC11F0D57) and nothing stops:
  // it would wait for the thread it runs on.
  long finalize();
  // Whether the client is registered with the service now: execute and
  // deliverEvent are accepted. See "Connection" above for waiting on it.
  bool isConnected() const;
  // The id of this machine's server, as the service gave it on the first
  // registration (0 before): the serverId of this client's own "connected"
  // and "disconnected" events and of the events this machine numbers.
  unsigned long thisServerId() const;
  // Start or stop publishing a category; remembered across reconnections.
  long publish(const std::string& category);
  long retract(const std::string& category);
  // Subscribes to `category` as published by server `serverId`
  // (0xFFFFFFFF: this machine's server) for events whose keys begin with
  // the patterns listed in `keys` (a parameter list; "*" matches any one
  // key, and when last, all the rest). *pSubscription (may be null)
  // receives the text that unsubscribe takes.
  long subscribe(const std::string& category, const std::string& keys, unsigned long serverId,
                 std::string* pSubscription);
  long unsubscribe(const std::string& subscription);
  // Numbers and queues one event of this host; it leaves with the next
  // execute. CE_E_NOT_CONNECTED when it cannot be sent (not registered):
  // then no number is taken, so a host may retry until it succeeds without
  // anyone seeing a gap;
  // CE_E_STORE_BUSY or CE_E_STORE_DAMAGED when the shared store cannot give
  // a number. While 256 KiB wait unsent (the service is slower than this
  // host), it waits until the queue is taken; never in a handler.
  long deliverEvent(const std::string& category, const std::string& keys, const std::string& data);
  // Sends the queued requests: completionId 0 within 200 ms, any other id at
  // once, followed by a "completion-id" request whose completion the service
  // reports to the completion handler: onCompleted(completionId, 0) once it
  // has handled everything queued before it, or (completionId,
  // CE_E_NOT_CONNECTED) when the connection is lost first. Returns
  // CE_E_NOT_CONNECTED while the client is not registered with the service.
  long execute(unsigned long completionId);

  // Passes a value to the service (when connected; nothing is kept).
  long reportConnectivity(unsigned long value);
  // Writes the engine's tables to the log and asks the service to dump too.
  void dump();

  // Reads the items of a parameter-list text (keys, subscriptions, ...).
  // Never throws; a text that cannot be read gives a list with no items.
  class CE_EXPORT CParseList {
   public:
    CParseList() = default;
    explicit CParseList(std::string const& text) { init(text); }
    ~CParseList();
    CParseList(const CParseList&) = delete;
    CParseList& operator=(const CParseList&) = delete;
    void init(std::string const& text);
    bool isValid() const { return m_pList != nullptr; }
    unsigned long count() const;
    // "" without a list or beyond the last item.
    std::string getItem(unsigned long index) const;

   private:
    CParamsX* m_pList = nullptr;
  };

  // Builds a parameter-list text item by item.
  class CE_EXPORT CGenList {
   public:
    // Throws KelException(CE_E_CREATE) when the list cannot be allocated.
    CGenList();
    ~CGenList();
    CGenList(const CGenList&) = delete;
    CGenList& operator=(const CGenList&) = delete;
    void addItem(std::string const& item);
    void clear();
    // Valid until the next change or the list's destruction.
    const std::string& getList() const;

   private:
    CParamsX* m_pList;
  };

  // The engine, for diagnostics and tests.
  CEventLibImpl* engine() const { return m_pImpl; }

 private:
  CEventLibImpl* m_pImpl;
};
