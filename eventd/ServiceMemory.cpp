// The service's memory budget: what one client and one user may hold, and
// what goes when the budget runs short.
#include "eventd/Service.h"

#include <algorithm>
#include <cinttypes>
#include <vector>

#include "eventd/ServiceLog.h"

namespace evt::service {

bool Service::withinShares(ClientSession& client) {
  // A client sending more of a large frame while it holds more than its
  // share (that frame and its queue), or while its user's clients together
  // hold more than theirs, goes; a publisher midway through an ordinary
  // batch does not, nor a reader whose queue alone is long (its events are
  // refused at its share instead).
  if (client.input.buffered() <= m_budget.limit / 64) return true;
  if (client.heldBytes() > m_budget.clientShare()) {
    drop(client, "holds more of the service's memory budget than one client may (an eighth of --max-memory)");
    return false;
  }
  if (client.userHeldBytes() > m_budget.userShare()) {
    drop(client, "and the other clients of its user hold more of the service's memory budget than one user may (half of "
                 "--max-memory)");
    return false;
  }
  return true;
}

void Service::shedMemory() {
  // From a quarter on: below one user's share, which its stalled clients
  // could otherwise fill for good.
  // Such a client loses its queued events, not its connection: it hears of
  // the loss as a gap when it reads again, as it would of a full queue.
  if (m_budget.used <= m_budget.limit / 4) return;
  const auto now = ClientSession::Clock::now();
  for (ClientSession& client : m_clients) {
    if (client.closing || !client.stalled(now, m_options.limits)) continue;
    const bool again = client.shedSinceRead();  // logged once until it reads
    const std::size_t shed = client.shedEvents();
    if (shed == 0) continue;
    m_router.eventsShed(client);
    ++m_shedQueues;
    if (again) continue;
    logError("client #%" PRIu64 " (%s) does not read what it is sent while the service's memory budget runs short "
             "(--max-memory): its %zu queued events were dropped and it is told of the gap; %" PRIu64
             " queues shed so far",
             client.number(), client.name.c_str(), shed, m_shedQueues);
  }
  std::size_t held = m_budget.used;
  if (held <= m_budget.limit / 4 * 3) return;
  // The largest unfinished frames next; small ones (a batch on its way) stay.
  std::vector<ClientSession*> senders;
  for (ClientSession& client : m_clients) {
    if (!client.closing && client.input.buffered() > m_budget.limit / 64) senders.push_back(&client);
  }
  std::sort(senders.begin(), senders.end(), [](const ClientSession* a, const ClientSession* b) {
    return a->input.buffered() > b->input.buffered();
  });
  for (ClientSession* client : senders) {
    if (held <= m_budget.limit / 4 * 3) break;
    held -= client->heldBytes();
    drop(*client, "holds a large unfinished frame while the service's memory budget runs short (--max-memory)");
  }
}

}  // namespace evt::service
