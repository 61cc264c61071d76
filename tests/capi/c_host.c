/* A host written in C (-std=c99) against <eventlib/evt.h>: it checks the
   calls that need no service, then echoes what it receives. It subscribes to
   "to-c" for events whose first key is "k", says "ready" on "from-c", and
   sends every event it receives back on "from-c" with the same keys and data,
   from its callback, until the event "end". Exits 0 when every check held. */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <eventlib/evt.h>

static int failures = 0;
#define CHECK(condition)                                                   \
  do {                                                                     \
    if (!(condition)) {                                                    \
      fprintf(stderr, "c_host:%d: check failed: %s\n", __LINE__, #condition); \
      ++failures;                                                          \
    }                                                                      \
  } while (0)

/* What the callbacks saw, guarded by `mutex`. */
struct state {
  pthread_mutex_t mutex;
  pthread_cond_t changed;
  int connected;
  int ended;
  long echoed;
  uint32_t completed[8];
  int completions;
  evt_result in_handler_destroy;
};

static evt_result on_event(evt_client* client, void* user, const char* category, const char* keys, const char* data,
                           size_t size, uint64_t seq_no, uint32_t server_id) {
  struct state* s = (struct state*)user;
  (void)seq_no;
  (void)server_id;
  pthread_mutex_lock(&s->mutex);
  if (strcmp(category, "eventsystem") == 0) {
    if (strcmp(data, "connected") == 0) s->connected = 1;
    if (strcmp(data, "missed-event") == 0) fprintf(stderr, "c_host: missed events before %s\n", keys);
  } else if (strcmp(category, "to-c") == 0 && !s->ended) {
    /* A callback may queue requests; it may not destroy the client. */
    CHECK(evt_deliver(client, "from-c", keys, data, size) == EVT_OK);
    CHECK(evt_execute(client, 0) == EVT_OK);
    ++s->echoed;
    if (strcmp(data, "end") == 0) {
      s->ended = 1;
      s->in_handler_destroy = evt_client_destroy(client);
    }
  }
  pthread_cond_broadcast(&s->changed);
  pthread_mutex_unlock(&s->mutex);
  return EVT_OK;
}

static evt_result on_completion(evt_client* client, void* user, uint32_t id, evt_result result) {
  struct state* s = (struct state*)user;
  (void)client;
  pthread_mutex_lock(&s->mutex);
  CHECK(result == EVT_OK);
  if (s->completions < 8) s->completed[s->completions++] = id;
  pthread_cond_broadcast(&s->changed);
  pthread_mutex_unlock(&s->mutex);
  return EVT_OK;
}

/* Waits up to `seconds` until *flag (read under the mutex) is set. */
static int wait_for(struct state* s, const int* flag, int seconds) {
  struct timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += seconds;
  pthread_mutex_lock(&s->mutex);
  while (!*flag && pthread_cond_timedwait(&s->changed, &s->mutex, &deadline) == 0) {
  }
  int set = *flag;
  pthread_mutex_unlock(&s->mutex);
  return set;
}

/* Sends the queue with completion `id` and waits for its answer. */
static int flush(struct state* s, evt_client* client, uint32_t id) {
  if (evt_execute(client, id) != EVT_OK) return 0;
  struct timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += 20;
  pthread_mutex_lock(&s->mutex);
  int found = 0;
  while (!found) {
    for (int i = 0; i < s->completions; ++i) found |= s->completed[i] == id;
    if (!found && pthread_cond_timedwait(&s->changed, &s->mutex, &deadline) != 0) break;
  }
  pthread_mutex_unlock(&s->mutex);
  return found;
}

/* Item lists: what is built reads back the same, commas and backslashes too. */
static void check_lists(void) {
  const char* items[] = {"k", "a,b", "back\\slash", ""};
  char* list = NULL;
  CHECK(evt_list_build(items, 4, &list) == EVT_OK && list != NULL);
  char** parsed = NULL;
  size_t count = 0;
  CHECK(evt_list_parse(list, &parsed, &count) == EVT_OK && count == 4);
  for (size_t i = 0; i < count && i < 4; ++i) CHECK(strcmp(parsed[i], items[i]) == 0);
  evt_list_free(parsed, count);
  evt_free(list);

  CHECK(evt_list_parse("", &parsed, &count) == EVT_OK && count == 0 && parsed == NULL);
  CHECK(evt_list_parse("1;a;-4;x", &parsed, &count) == EVT_E_MALFORMED_LIST && parsed == NULL && count == 0);
  CHECK(evt_list_build(NULL, 1, &list) == EVT_E_INVALID_ARGUMENT && list == NULL);
  CHECK(strncmp(evt_result_text(EVT_E_NOT_CONNECTED), "EVT_E_NOT_CONNECTED", 19) == 0);
  CHECK(evt_result_text((evt_result)0xC1261010u) != NULL);
}

int main(void) {
  static struct state s;
  pthread_mutex_init(&s.mutex, NULL);
  pthread_cond_init(&s.changed, NULL);
  check_lists();

  evt_client* client = NULL;
  CHECK(evt_client_create(NULL, on_event, NULL, on_completion, &s, &client) == EVT_E_INVALID_ARGUMENT);
  evt_result created = evt_client_create("c-host", on_event, NULL, on_completion, &s, &client);
  if (created != EVT_OK) {
    fprintf(stderr, "c_host: evt_client_create: %s\n", evt_result_text(created));
    return 1;
  }
  CHECK(wait_for(&s, &s.connected, 20));
  CHECK(evt_is_connected(client) == 1 && evt_server_id(client) != 0);

  /* Refused at the call, nothing numbered. */
  CHECK(evt_deliver(client, "from-c", "", "a\0b", 3) == EVT_E_INVALID_TEXT);
  CHECK(evt_deliver(client, "eventsystem", "", "x", 1) == EVT_E_INVALID_TEXT);
  CHECK(evt_subscribe(client, "to-c", "a,*", EVT_THIS_SERVER, NULL) == EVT_E_INVALID_TEXT);
  CHECK(evt_deliver(NULL, "from-c", "", "x", 1) == EVT_E_INVALID_ARGUMENT);

  const char* patterns[] = {"k", "*"};
  char* keys = NULL;
  char* subscription = NULL;
  CHECK(evt_list_build(patterns, 2, &keys) == EVT_OK);
  CHECK(evt_subscribe(client, "to-c", keys, EVT_THIS_SERVER, &subscription) == EVT_OK && subscription != NULL);
  evt_free(keys);
  CHECK(evt_publish(client, "from-c") == EVT_OK);
  CHECK(flush(&s, client, 1));
  CHECK(evt_deliver(client, "from-c", "", "ready", 5) == EVT_OK);
  CHECK(flush(&s, client, 2));

  CHECK(wait_for(&s, &s.ended, 60));
  CHECK(s.in_handler_destroy == EVT_E_IN_HANDLER);
  CHECK(flush(&s, client, 3));
  CHECK(evt_unsubscribe(client, subscription) == EVT_OK);
  evt_free(subscription);
  CHECK(evt_retract(client, "from-c") == EVT_OK);
  CHECK(evt_client_destroy(client) == EVT_OK);
  fprintf(stderr, "c_host: echoed %ld events, %d failed checks\n", s.echoed, failures);
  return failures == 0 ? 0 : 1;
}
