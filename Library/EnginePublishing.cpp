// The host's publications and their retraction, and the service's
// "publish", "retract" and "completed" notices.
#include <algorithm>
#include <cstdint>

#include "Library/CEResultCodes.h"
#include "Library/CEventLibImpl.h"
#include "Library/HandlerCall.h"
#include "Library/EngineText.h"
#include "trace/_Trace.h"

using evt::engine::codeWord;
using KelLogLib::LOGLIB_PRIORITY_ERROR;

std::string CEventLibImpl::publicationRequest(std::string_view name, const std::string& category) const {
  return evt::protocol::publicationRequest(name, category, static_cast<uint32_t>(m_dwThisServerID.load()));
}

long CEventLibImpl::publish(const std::string& category) {
  {
    CPCritSecHold engineLock(*m_pCritSec, __LINE__);
    if (m_mapPublishings.count(category) == 0) {
      if (announcedLocked()) queueRequestLocked(publicationRequest(evt::protocol::kPublish, category));
      m_mapPublishings[category] = 1;  // announced again on every connection
    }
  }
  m_categorySeqNo.useCategory(category);
  return 0;
}

long CEventLibImpl::retract(const std::string& category) {
  CPCritSecHold engineLock(*m_pCritSec, __LINE__);
  auto found = m_mapPublishings.find(category);
  if (found != m_mapPublishings.end()) {
    if (announcedLocked()) queueRequestLocked(publicationRequest(evt::protocol::kRetract, category));
    m_mapPublishings.erase(found);
  }
  return 0;
}

void CEventLibImpl::publishAction(const ParamsView& request, int bPublish) {
  if (m_pPublishHandler == nullptr) return;
  const evt::protocol::Publication publication = evt::protocol::readPublication(request);
  long result = evt::engine::callHandler([&] {
    return m_pPublishHandler->onPublish(std::string(publication.category), static_cast<int32_t>(publication.server),
                                        bPublish);
  });
  if (result < 0) {
    evtLog(LOGLIB_PRIORITY_ERROR,
           bPublish ? "(Error) CEventLibImpl::actionPublish failed - 0x%08X"
                    : "(Error) CEventLibImpl::actionRetract failed - 0x%08X",
           codeWord(result));
  }
}

void CEventLibImpl::actionPublish(const ParamsView& request) { publishAction(request, 1); }
void CEventLibImpl::actionRetract(const ParamsView& request) { publishAction(request, 0); }

void CEventLibImpl::actionCompleted(const ParamsView& request) {
  const evt::protocol::Completion completion = evt::protocol::readCompletion(request);
  {
    CPCritSecHold engineLock(*m_pCritSec, __LINE__);
    auto sent = std::find(m_completionsSent.begin(), m_completionsSent.end(), completion.first);
    if (sent != m_completionsSent.end()) m_completionsSent.erase(sent);
  }
  if (m_pCompletionHandler == nullptr) return;
  long result = evt::engine::callHandler([&] {
    return m_pCompletionHandler->onCompleted(static_cast<int32_t>(completion.first),
                                             static_cast<int32_t>(completion.second));
  });
  if (result < 0)
    evtLog(LOGLIB_PRIORITY_ERROR, "(Error) CEventLibImpl::actionCompleted failed - 0x%08X", codeWord(result));
}
