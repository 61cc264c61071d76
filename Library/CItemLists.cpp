// CEventLib::CParseList and CEventLib::CGenList: the host's view of
// parameter-list texts.
#include <new>

#include "Library/CEResultCodes.h"
#include "Library/CEventLib.h"
#include "Utilities/CParamsX.h"
#include "trace/KelException.h"

CEventLib::CParseList::~CParseList() { delete m_pList; }

void CEventLib::CParseList::init(std::string const& text) {
  delete m_pList;
  m_pList = nullptr;
  try {
    m_pList = new CParamsX(text);
  } catch (...) {
    m_pList = nullptr;  // an invalid list, never an exception for the host
  }
}

unsigned long CEventLib::CParseList::count() const { return m_pList != nullptr ? m_pList->count() : 0; }

std::string CEventLib::CParseList::getItem(unsigned long index) const {
  if (m_pList == nullptr || index >= m_pList->count()) return std::string();
  try {
    return m_pList->getstringParamAt(index);
  } catch (...) {
    return std::string();
  }
}

CEventLib::CGenList::CGenList() : m_pList(new (std::nothrow) CParamsX()) {
  if (m_pList == nullptr) KEL_THROW(CE_E_CREATE);
}

CEventLib::CGenList::~CGenList() { delete m_pList; }

void CEventLib::CGenList::addItem(std::string const& item) { m_pList->addParam(item); }

void CEventLib::CGenList::clear() { m_pList->clear(); }

const std::string& CEventLib::CGenList::getList() const { return m_pList->paramListRef(); }
