#include "platform/CPortable.h"

CPCritSec::CPCritSec(std::string name, int) : m_strName(std::move(name)) {}

void CPCritSec::enter(long) { m_mutex.lock(); }

void CPCritSec::leave(long) { m_mutex.unlock(); }

bool CPCritSec::tryEnter(long) { return m_mutex.try_lock(); }
