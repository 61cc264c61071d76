// NatsLink's JetStream side: streams and their ordered consumers. What waits
// for the cluster runs on the link's JetStream thread; the loop thread only
// posts requests and takes what came of them from the queue.
#include <utility>

#include "eventd/NatsLink.h"

namespace evt::service {
namespace {

std::string jetStreamFailure(natsStatus status, jsErrCode code) {
  std::string text = natsStatus_GetText(status);
  const char* last = nats_GetLastError(nullptr);
  if (last != nullptr && *last != '\0') text += std::string(" (") + last + ")";
  if (code != 0) text += " [JetStream error " + std::to_string(static_cast<int>(code)) + "]";
  return text;
}

// Makes or updates the stream; the failure, or empty. *noPlacement is set
// when no server has the placement tag.
std::string makeStream(jsCtx* jetStream, const NatsLink::StreamSettings& settings, bool* noPlacement) {
  *noPlacement = false;
  jsStreamConfig config;
  jsStreamConfig_Init(&config);
  config.Name = settings.name.c_str();
  const char* subjects[] = {settings.subjects.c_str()};
  config.Subjects = subjects;
  config.SubjectsLen = 1;
  config.Storage = js_FileStorage;
  config.Retention = js_LimitsPolicy;
  config.Discard = js_DiscardOld;
  config.MaxBytes = settings.maxBytes;
  config.MaxAge = settings.maxAgeSeconds * 1000000000LL;
  config.Replicas = 1;
  jsPlacement placement;
  const char* tags[] = {settings.placementTag.c_str()};
  if (!settings.placementTag.empty()) {
    jsPlacement_Init(&placement);
    placement.Cluster = "";  // any: libnats writes the field whether or not it is set
    placement.Tags = tags;
    placement.TagsLen = 1;
    config.Placement = &placement;
  }
  jsErrCode code = static_cast<jsErrCode>(0);
  natsStatus status = js_AddStream(nullptr, jetStream, &config, nullptr, &code);
  if (status != NATS_OK && code == JSStreamNameExistErr) {
    // Left where it lives: the update asks nothing of its placement.
    config.Placement = nullptr;
    code = static_cast<jsErrCode>(0);
    status = js_UpdateStream(nullptr, jetStream, &config, nullptr, &code);
  }
  if (status == NATS_OK) return std::string();
  *noPlacement = code == JSClusterNoPeersErr;
  return jetStreamFailure(status, code);
}

}  // namespace

bool NatsLink::startJetStream(std::chrono::milliseconds wait, std::string* error) {
  jsOptions options;
  jsOptions_Init(&options);
  options.Wait = wait.count();
  const natsStatus status = natsConnection_JetStream(&m_jetStream, m_connection, &options);
  if (status != NATS_OK) {
    *error = std::string("cannot use JetStream: ") + natsStatus_GetText(status);
    return false;
  }
  m_jetStreamThread = std::thread([this] { runJetStreamJobs(); });
  return true;
}

void NatsLink::ensureStream(const StreamSettings& settings) {
  post([this, settings] {
    bool noPlacement = false;
    std::string failure = makeStream(m_jetStream, settings, &noPlacement);
    Inbound outcome(Inbound::kStreamKept);
    if (noPlacement) {
      StreamSettings anywhere = settings;
      anywhere.placementTag.clear();
      if (makeStream(m_jetStream, anywhere, &noPlacement).empty()) {
        outcome.text = "no NATS server is tagged " + settings.placementTag + " (" + failure + ")";
        failure.clear();
      }
    }
    if (!failure.empty()) {
      outcome.kind = Inbound::kStreamFailed;
      outcome.text = failure;
    }
    push(std::move(outcome));
  });
}

namespace {

// libnats (3.4) writes a start time's fraction of a second without its
// leading zeros (12.034 s goes as "12.34"), so a consumer asked to start at
// such a time starts up to 0.9 s late and never delivers what was stored in
// between. A time within the first tenth of its second goes as the whole
// second before it, which needs no fraction; the link drops what comes
// before the time asked for.
int64_t startTimeSafeForLibnats(int64_t timeNs) {
  constexpr int64_t kSecond = 1'000'000'000;
  constexpr int64_t kTenth = kSecond / 10;
  const int64_t fraction = timeNs % kSecond;
  return fraction < kTenth ? timeNs - fraction : timeNs;
}

}  // namespace

uint64_t NatsLink::subscribeStream(const std::string& subject, const std::string& stream, StreamStart start) {
  StreamClosure* closure = &m_streamClosures.emplace_back(this, m_streamClosures.size() + 1);
  m_streamPending.insert(closure->id);
  post([this, subject, stream, start, closure] {
    // Dropped before its turn: a cluster that does not answer costs nothing.
    if (!closure->wanted) return;
    jsSubOptions options;
    jsSubOptions_Init(&options);
    options.Stream = stream.c_str();
    // An ordered consumer: no acknowledgements, and libnats takes it up
    // again after a lost message or heartbeat.
    options.Ordered = true;
    if (start.seq != 0 && streamReaches(stream, start.seq - 1)) {
      options.Config.DeliverPolicy = js_DeliverByStartSequence;
      options.Config.OptStartSeq = start.seq;
    } else if (start.timeNs != 0) {
      options.Config.DeliverPolicy = js_DeliverByStartTime;
      options.Config.OptStartTime = startTimeSafeForLibnats(start.timeNs);
      if (options.Config.OptStartTime != start.timeNs) closure->notBeforeNs = start.timeNs;
    } else {
      options.Config.DeliverPolicy = js_DeliverNew;
    }
    natsSubscription* sub = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    const natsStatus status =
        js_Subscribe(&sub, m_jetStream, subject.c_str(), onStreamMessage, closure, nullptr, &options, &code);
    Inbound outcome(status == NATS_OK ? Inbound::kStreamSubscribed : Inbound::kStreamNotSubscribed, nullptr,
                    closure->id);
    if (status == NATS_OK) {
      countOpen(sub);
      outcome.made = sub;
    } else {
      outcome.text = jetStreamFailure(status, code);
    }
    push(std::move(outcome));
  });
  return closure->id;
}

bool NatsLink::streamReaches(const std::string& stream, uint64_t seq) {
  jsStreamInfo* info = nullptr;
  if (js_GetStreamInfo(&info, m_jetStream, stream.c_str(), nullptr, nullptr) != NATS_OK) return true;
  const bool reaches = info->State.LastSeq >= seq;
  jsStreamInfo_Destroy(info);
  return reaches;
}

bool NatsLink::adopt(Inbound& made) {
  // Dropped while it was being made: nobody wants its messages.
  if (m_streamPending.erase(made.streamSubscription) == 0) {
    natsSubscription_Destroy(made.made);
    return false;
  }
  m_streamSubscriptions.emplace(made.streamSubscription, made.made);
  return true;
}

void NatsLink::dropStreamSubscription(uint64_t id) {
  if (id == 0 || id > m_streamClosures.size()) return;
  m_streamClosures[id - 1].wanted = false;
  m_streamPending.erase(id);
  auto it = m_streamSubscriptions.find(id);
  if (it == m_streamSubscriptions.end()) return;
  natsSubscription_Destroy(it->second);
  m_streamSubscriptions.erase(it);
}

void NatsLink::post(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(m_jobsMutex);
    m_jobs.push_back(std::move(job));
  }
  m_jobsReady.notify_one();
}

void NatsLink::runJetStreamJobs() {
  std::unique_lock<std::mutex> lock(m_jobsMutex);
  for (;;) {
    m_jobsReady.wait(lock, [this] { return m_jobsClosing || !m_jobs.empty(); });
    if (m_jobsClosing) return;
    std::function<void()> job = std::move(m_jobs.front());
    m_jobs.pop_front();
    lock.unlock();
    job();
    lock.lock();
  }
}

void NatsLink::stopJetStreamJobs() {
  if (!m_jetStreamThread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(m_jobsMutex);
    m_jobsClosing = true;
    m_jobs.clear();
  }
  m_jobsReady.notify_one();
  m_jetStreamThread.join();
}

NatsLink::Inbound::StreamPosition NatsLink::Inbound::streamPosition() const {
  jsMsgMetaData* meta = nullptr;
  if (!msg || natsMsg_GetMetaData(&meta, msg.get()) != NATS_OK) return StreamPosition();
  const StreamPosition position{meta->Sequence.Stream, meta->Timestamp};
  jsMsgMetaData_Destroy(meta);
  return position;
}

void NatsLink::onStreamMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
  auto* stream = static_cast<StreamClosure*>(closure);
  NatsLink* self = stream->link;
  if (stream->notBeforeNs != 0) {
    jsMsgMetaData* meta = nullptr;
    if (natsMsg_GetMetaData(&meta, msg) == NATS_OK) {
      const bool before = meta->Timestamp < stream->notBeforeNs;
      jsMsgMetaData_Destroy(meta);
      if (before) {
        natsMsg_Destroy(msg);
        return;
      }
    }
    stream->notBeforeNs = 0;
  }
  const std::string subject = natsMsg_GetSubject(msg);
  if (self->queueMessage(stream->id, msg)) return;
  // The stream still holds it: the loop takes the subscription up again
  // from the last message it handled.
  Inbound dropped(Inbound::kDropped, nullptr, stream->id);
  dropped.text = subject;
  self->push(std::move(dropped));
}

}  // namespace evt::service
