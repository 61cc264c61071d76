// Who may use the service and the shared store: the members of one group,
// named by $EVT_GROUP (default "evt"). The socket, its folder and every store
// object are given to that group, mode 0660 (folders 0750); others get
// "permission denied". Without such a group on the machine, objects keep
// their creator's group, which serves single-user and root-only setups.
#pragma once

#include <sys/types.h>

#include <string>

namespace evt::platform {

constexpr const char* kAccessGroupEnv = "EVT_GROUP";
constexpr const char* kDefaultAccessGroup = "evt";

// The group's name, and its id (-1 when no such group exists).
std::string accessGroupName();
gid_t accessGroupId();

// The name (else the number) of the group owning `path`; empty when the
// path cannot be seen.
std::string groupOwning(const std::string& path);

// Gives the object at `fd` (or `path`) to the access group with `mode`.
// False (errno EACCES) when the group exists but this process may not give
// it the object, not being a member: an object it made would shut the
// members out. Without such a group the object keeps its creator's group.
bool shareWithAccessGroup(int fd, mode_t mode);
bool shareWithAccessGroup(const std::string& path, mode_t mode);

}  // namespace evt::platform
