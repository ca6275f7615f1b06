#pragma once

#include <expected>
#include <string>

#include "platform/posix/owned_fd.hpp"

namespace velnaro::platform {

// Opens the socket folder `path`, creating its last level 0755, and holds it. Every level
// from / down is opened without following links and must belong to root or to this
// process's account; no level may be writable by group or others, except a sticky one
// (such as /tmp) whose next level belongs to root or this account. A folder of this
// account's that others cannot write but with another mode is set to 0755 through its
// descriptor. Fails with the errno that tells why (EPERM for a level that fails the rule).
std::expected<OwnedFd, int> open_socket_folder(const std::string& path);

}  // namespace velnaro::platform
