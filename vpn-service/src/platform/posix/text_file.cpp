#include "platform/posix/text_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

#include "platform/posix/owned_fd.hpp"

namespace velnaro::platform {

std::optional<std::string> read_text_file(const std::string& path, int extra_open_flags) {
    OwnedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | extra_open_flags));
    if (!fd)
        return std::nullopt;
    std::string content;
    char chunk[4096];
    ssize_t n = 0;
    while ((n = ::read(fd.get(), chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0)
            content.append(chunk, static_cast<std::size_t>(n));
    }
    if (n < 0)
        return std::nullopt;
    return content;
}

std::vector<std::string_view> split_text(std::string_view text, std::string_view separators) {
    std::vector<std::string_view> pieces;
    while (!text.empty()) {
        const std::size_t end = text.find_first_of(separators);
        if (end != 0)
            pieces.push_back(text.substr(0, end));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return pieces;
}

std::optional<unsigned long long> leading_number(std::string_view word) {
    if (word.starts_with('+'))
        word.remove_prefix(1);
    unsigned long long value = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc() || end == word.data())
        return std::nullopt;
    return value;
}

}  // namespace velnaro::platform
