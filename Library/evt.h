/* The C interface of the event library, for C hosts and other languages'
   bindings. It wraps the same client object as <eventlib/CELibrary.h>:

     evt_client* client;
     if (evt_client_create("my-host", on_event, NULL, on_completion, &state, &client) < 0) ...
     evt_subscribe(client, "cat", "", EVT_THIS_SERVER, NULL);
     evt_deliver(client, "cat", "", "hello", 5);
     evt_execute(client, 1);           -- then on_completion(client, &state, 1, 0)
     evt_client_destroy(client);       -- hands over what is queued, then frees

   Every call returns one of the library's 32-bit result codes: 0 (or more) on
   success, negative on failure (EVT_E_...); evt_result_text names one. No C++
   exception leaves a call. Texts are NUL-terminated and may hold any byte but
   NUL; event data is given with its length, and data holding a NUL is refused
   with EVT_E_INVALID_TEXT. The rules on threads and connection are those of
   CEventLib: calls may come from several threads at once, callbacks come on
   the library's one request thread, one at a time, and may call anything here
   but evt_client_finalize and evt_client_destroy (refused there with
   EVT_E_IN_HANDLER). Strings the library hands out are freed with evt_free. */
#ifndef EVENTLIB_EVT_H
#define EVENTLIB_EVT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define EVT_API __attribute__((visibility("default")))

typedef int32_t evt_result;

/* The codes as 32-bit words; compare results against these names. */
#define EVT_OK ((evt_result)0)
#define EVT_E_CREATE ((evt_result)0xC11F0D48u)         /* not created; the log says why */
#define EVT_E_NOT_CONNECTED ((evt_result)0xC11F0D4Au)  /* not registered with the service now */
#define EVT_E_THREAD ((evt_result)0xC11F0D4Du)         /* a thread could not be started */
#define EVT_E_STOPPING ((evt_result)0xC11F0D4Eu)       /* the client is finalizing */
#define EVT_E_INVALID_TEXT ((evt_result)0xC11F0D52u)   /* a NUL, an empty or reserved category, a bad list */
#define EVT_E_STORE_BUSY ((evt_result)0xC11F0D54u)     /* a lock of the shared store stayed held */
#define EVT_E_STORE_DAMAGED ((evt_result)0xC11F0D55u)  /* a number went back or reached its end */
#define EVT_E_ACCESS_DENIED ((evt_result)0xC11F0D56u)  /* not a member of the service's group */
#define EVT_E_IN_HANDLER ((evt_result)0xC11F0D57u)     /* finalize or destroy called from a callback */
#define EVT_E_INVALID_ARGUMENT ((evt_result)0xC11F0D58u) /* a null pointer where one is needed */
#define EVT_E_MALFORMED_LIST ((evt_result)0xC1210E12u) /* a text that is not a parameter list */

/* subscribe's server id for this machine's own server. */
#define EVT_THIS_SERVER 0xFFFFFFFFu

typedef struct evt_client evt_client;

/* The callbacks get the client they belong to and the creator's `user`.
   An event of a subscribed category, or of "eventsystem" (data
   "missed-event", "connected", "disconnected"; see CEventHandlers.h). The
   texts stay valid only during the call. */
typedef evt_result (*evt_event_fn)(evt_client* client, void* user, const char* category, const char* keys,
                                   const char* data, size_t data_size, uint64_t seq_no, uint32_t server_id);
/* The service's "publish" (published 1) or "retract" (0) notice. */
typedef evt_result (*evt_publish_fn)(evt_client* client, void* user, const char* category, int32_t server_id,
                                     int published);
/* The answer to evt_execute(completion_id): 0, or EVT_E_NOT_CONNECTED when
   the connection was lost first. */
typedef evt_result (*evt_completion_fn)(evt_client* client, void* user, uint32_t completion_id, evt_result result);

/* Creates a client and starts it connecting in the background. Any callback
   may be NULL; the first may come before this returns. On failure *client is NULL and the
   result is EVT_E_ACCESS_DENIED, EVT_E_STORE_BUSY, EVT_E_CREATE or
   EVT_E_THREAD. */
EVT_API evt_result evt_client_create(const char* name, evt_event_fn on_event, evt_publish_fn on_publish,
                                     evt_completion_fn on_completion, void* user, evt_client** client);
/* Hands the service what is queued (at most 2 s) and stops the threads; no
   callback comes after it returns. Later calls give EVT_E_STOPPING. */
EVT_API evt_result evt_client_finalize(evt_client* client);
/* Finalizes and frees the client (NULL is ignored). From a callback,
   EVT_E_IN_HANDLER and nothing is freed. */
EVT_API evt_result evt_client_destroy(evt_client* client);

/* 1 while registered with the service, else 0. */
EVT_API int evt_is_connected(const evt_client* client);
/* This machine's server id as the service gave it (0 before the first
   registration). */
EVT_API uint32_t evt_server_id(const evt_client* client);

EVT_API evt_result evt_publish(evt_client* client, const char* category);
EVT_API evt_result evt_retract(evt_client* client, const char* category);
/* `keys` is a parameter list of key patterns ("" for every event); on
   success *subscription (when not NULL) is the text evt_unsubscribe takes,
   freed with evt_free. */
EVT_API evt_result evt_subscribe(evt_client* client, const char* category, const char* keys, uint32_t server_id,
                                 char** subscription);
EVT_API evt_result evt_unsubscribe(evt_client* client, const char* subscription);
/* Numbers and queues one event; it leaves with the next evt_execute. */
EVT_API evt_result evt_deliver(evt_client* client, const char* category, const char* keys, const char* data,
                               size_t data_size);
/* Sends what is queued: id 0 within 200 ms, any other id at once and
   answered through on_completion. */
EVT_API evt_result evt_execute(evt_client* client, uint32_t completion_id);
EVT_API evt_result evt_report_connectivity(evt_client* client, uint32_t value);
/* Writes the client's tables to the log and asks the service to dump too. */
EVT_API evt_result evt_dump(evt_client* client);

/* Builds a parameter list of `count` items (keys, key patterns); *list is
   freed with evt_free. */
EVT_API evt_result evt_list_build(const char* const* items, size_t count, char** list);
/* Reads the items of a list: *items is an array of *count strings (NULL for
   none), freed with evt_list_free. A text that is not a list gives
   EVT_E_MALFORMED_LIST. */
EVT_API evt_result evt_list_parse(const char* list, char*** items, size_t* count);
EVT_API void evt_list_free(char** items, size_t count);

/* Frees a string the library handed out (NULL is ignored). */
EVT_API void evt_free(void* text);
/* The code's name and meaning, as "EVT_E_NOT_CONNECTED: not registered with
   the service"; a static text, never NULL. */
EVT_API const char* evt_result_text(evt_result result);

#ifdef __cplusplus
}
#endif

#endif /* EVENTLIB_EVT_H */
