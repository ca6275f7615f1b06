#include "interface_link.hpp"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace velnaro::wglinux {

bool interface_exists(std::string_view name) {
    return interface_index(name) != 0;
}

int interface_index(std::string_view name) {
    if (name.empty() || name.size() >= IFNAMSIZ) {
        return 0;
    }
    return static_cast<int>(::if_nametoindex(std::string(name).c_str()));
}

std::optional<bool> interface_is_up(std::string_view name) {
    if (name.empty() || name.size() >= IFNAMSIZ) {
        return std::nullopt;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return std::nullopt;
    }
    ifreq request{};
    std::memcpy(request.ifr_name, name.data(), name.size());
    const int result = ::ioctl(fd, SIOCGIFFLAGS, &request);
    ::close(fd);
    if (result != 0) {
        return std::nullopt;
    }
    return (request.ifr_flags & IFF_UP) != 0;
}

}  // namespace velnaro::wglinux
