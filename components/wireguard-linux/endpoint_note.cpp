#include "endpoint_note.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "addresses.hpp"
#include "platform/conventions.hpp"

namespace velnaro::wglinux {
namespace {

const std::string kNote(platform::kTunnelEndpointNotePath);

}  // namespace

void write_endpoint_note(const std::string& name, std::uint32_t address, std::uint16_t port) {
    const std::string line = name + " " + ipv4_text(address) + ":" + std::to_string(port) + "\n";
    const std::string temporary = kNote + ".new";
    const int fd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return;
    // The unit's umask (0077) would keep it from the accounts it is for.
    const bool written = ::fchmod(fd, 0644) == 0 &&
                         ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), kNote.c_str()) != 0)
        ::unlink(temporary.c_str());
}

void move_endpoint_note(std::uint32_t address, std::uint16_t port) {
    std::ifstream note(kNote);
    std::string name;
    if (!(note >> name))
        return;
    write_endpoint_note(name, address, port);
}

void remove_endpoint_note() {
    ::unlink(kNote.c_str());
}

}  // namespace velnaro::wglinux
