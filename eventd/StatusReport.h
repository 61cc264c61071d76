// What `evt status` and `evt dump` show of the service, read from the
// router's tables as they stand: the status as "key value" lines (ending
// with the service's own counters), and the dump, which is the status and
// every client's state after it, as text or as one JSON object. A dump
// stays bounded whatever the tables hold. Used on the service loop's thread.
#pragma once

#include <string>

namespace evt::service {

class Router;

class StatusReport {
 public:
  // `router` outlives the report.
  explicit StatusReport(const Router& router) : m_router(router) {}

  std::string status() const;
  std::string dumpText() const;
  std::string dumpJson() const;

 private:
  const Router& m_router;
};

}  // namespace evt::service
