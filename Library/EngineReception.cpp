// Requests of the service that deliver events and sequence-number news.
#include "Library/CEventLibImpl.h"

// Event delivery and the sequence-number checks arrive with the subscription
// tables; until then these requests are answered and otherwise ignored.
void CEventLibImpl::actionCheckEventSeqNo(const std::string&) {}
void CEventLibImpl::actionEvent(const std::string&) {}
void CEventLibImpl::actionSetSeqNoBase(const std::string&) {}
void CEventLibImpl::actionDump(const std::string&) {}
