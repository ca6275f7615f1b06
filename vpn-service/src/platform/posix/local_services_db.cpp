#include "platform/posix/local_services_db.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <vector>

#include "core/paths.hpp"
#include "core/utf.hpp"

namespace velnaro::platform::local_services {
namespace {

constexpr std::string_view kRegistrationHeader = "velnaro-service-registration 1";
constexpr std::string_view kStateHeader = "velnaro-service-state 1";
constexpr std::size_t kMaxNameBytes = 80;
constexpr std::size_t kMaxFileBytes = 64 * 1024;

bool is_plain_name_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

char lower_ascii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Values are kept on one line: backslash, line feed and carriage return are escaped.
std::string escape_value(std::string_view value) {
    std::string out;
    for (char c : value) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::optional<std::string> unescape_value(std::string_view value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\') {
            out.push_back(value[i]);
            continue;
        }
        if (++i == value.size())
            return std::nullopt;
        switch (value[i]) {
            case '\\':
                out.push_back('\\');
                break;
            case 'n':
                out.push_back('\n');
                break;
            case 'r':
                out.push_back('\r');
                break;
            default:
                return std::nullopt;
        }
    }
    return out;
}

template <class T>
std::optional<T> parse_number(std::string_view text) {
    T value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// Splits "key=value" lines after the header; nothing when the header or a line is wrong.
std::optional<std::vector<std::pair<std::string, std::string>>> parse_lines(
    std::string_view text, std::string_view header) {
    std::vector<std::pair<std::string, std::string>> entries;
    bool first = true;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos)
            return std::nullopt;  // torn final line
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        if (first) {
            if (line != header)
                return std::nullopt;
            first = false;
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            return std::nullopt;
        auto value = unescape_value(line.substr(equals + 1));
        if (!value)
            return std::nullopt;
        entries.emplace_back(std::string(line.substr(0, equals)), std::move(*value));
    }
    if (first)
        return std::nullopt;
    return entries;
}

void add_line(std::string& out, std::string_view key, std::string_view value) {
    out.append(key).append("=").append(escape_value(value)).append("\n");
}

}  // namespace

ScopedFd::~ScopedFd() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::string program_data_root() {
    const char* value = std::getenv("PROGRAMDATA");
    if (value == nullptr || *value == '\0')
        return "/var/lib";
    return value;
}

std::string database_directory(std::string_view root) {
    return join_path(join_path(root, "Velnaro"), "services");
}

std::optional<std::string> service_key(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameBytes || !is_valid_utf8(name)) {
        return std::nullopt;
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string key;
    for (char raw : name) {
        const auto byte = static_cast<unsigned char>(raw);
        if (byte < 0x20 || byte == 0x7F || raw == '/' || raw == '\\')
            return std::nullopt;
        const char c = lower_ascii(raw);
        if (is_plain_name_byte(c)) {
            key.push_back(c);
        } else {
            key.push_back('%');
            key.push_back(kHex[byte >> 4]);
            key.push_back(kHex[byte & 0xF]);
        }
    }
    return key;
}

std::string registration_path(std::string_view database, std::string_view key) {
    return join_path(database, std::string(key) + ".service");
}

std::string state_path(std::string_view database, std::string_view key) {
    return join_path(database, std::string(key) + ".state");
}

std::string encode_registration(const StoredRegistration& stored) {
    const ServiceRegistration& r = stored.registration;
    std::string out(kRegistrationHeader);
    out += "\n";
    add_line(out, "name", r.name);
    add_line(out, "display_name", r.display_name);
    add_line(out, "description", stored.description);
    add_line(out, "service_type", std::to_string(r.service_type));
    add_line(out, "start_type", std::to_string(r.start_type));
    add_line(out, "error_control", std::to_string(r.error_control));
    add_line(out, "command_line", r.command_line);
    for (const auto& dependency : r.dependencies)
        add_line(out, "dependency", dependency);
    add_line(out, "sid_type", std::to_string(stored.sid_type));
    add_line(out, "delete_pending", stored.delete_pending ? "1" : "0");
    return out;
}

std::optional<StoredRegistration> decode_registration(std::string_view text) {
    auto entries = parse_lines(text, kRegistrationHeader);
    if (!entries)
        return std::nullopt;
    StoredRegistration stored;
    ServiceRegistration& r = stored.registration;
    unsigned seen = 0;  // one bit per single-valued key; each must appear exactly once
    auto once = [&seen](unsigned bit) {
        const bool fresh = (seen & bit) == 0;
        seen |= bit;
        return fresh;
    };
    for (auto& [key, value] : *entries) {
        std::optional<std::uint32_t> number;
        bool ok = true;
        if (key == "dependency") {
            r.dependencies.push_back(std::move(value));
        } else if (key == "name") {
            ok = once(1);
            r.name = std::move(value);
        } else if (key == "display_name") {
            ok = once(2);
            r.display_name = std::move(value);
        } else if (key == "description") {
            ok = once(4);
            stored.description = std::move(value);
        } else if (key == "command_line") {
            ok = once(8);
            r.command_line = std::move(value);
        } else if (key == "delete_pending") {
            ok = once(16) && (value == "0" || value == "1");
            stored.delete_pending = value == "1";
        } else if ((number = parse_number<std::uint32_t>(value)) && key == "service_type") {
            ok = once(32);
            r.service_type = *number;
        } else if (number && key == "start_type") {
            ok = once(64);
            r.start_type = *number;
        } else if (number && key == "error_control") {
            ok = once(128);
            r.error_control = *number;
        } else if (number && key == "sid_type") {
            ok = once(256);
            stored.sid_type = *number;
        } else {
            ok = false;
        }
        if (!ok)
            return std::nullopt;
    }
    if (seen != 511)
        return std::nullopt;
    return stored;
}

std::string encode_runtime_state(const RuntimeState& state) {
    std::string out(kStateHeader);
    out += "\n";
    add_line(out, "pid", std::to_string(state.pid));
    add_line(out, "start_time", std::to_string(state.start_time));
    add_line(out, "boot_id", state.boot_id);
    add_line(out, "reported_state", std::to_string(state.reported_state));
    add_line(out, "stop_requested", state.stop_requested ? "1" : "0");
    return out;
}

std::optional<RuntimeState> decode_runtime_state(std::string_view text) {
    auto entries = parse_lines(text, kStateHeader);
    if (!entries || entries->size() != 5)
        return std::nullopt;
    const auto& e = *entries;
    if (e[0].first != "pid" || e[1].first != "start_time" || e[2].first != "boot_id" ||
        e[3].first != "reported_state" || e[4].first != "stop_requested") {
        return std::nullopt;
    }
    auto pid = parse_number<pid_t>(e[0].second);
    auto start_time = parse_number<std::uint64_t>(e[1].second);
    auto reported = parse_number<std::uint32_t>(e[3].second);
    if (!pid || *pid <= 0 || !start_time || !reported || *reported < service_state::kStopped ||
        *reported > service_state::kPaused || (e[4].second != "0" && e[4].second != "1")) {
        return std::nullopt;
    }
    return RuntimeState{*pid, *start_time, e[2].second, *reported, e[4].second == "1"};
}

std::uint32_t effective_state(const std::optional<RuntimeState>& state) {
    if (!state || !is_recorded_process_alive(*state))
        return service_state::kStopped;
    if (state->reported_state == service_state::kStopped)
        return service_state::kStopped;
    if (state->stop_requested)
        return service_state::kStopPending;
    return state->reported_state;
}

bool is_recorded_process_alive(const RuntimeState& state) {
    if (state.boot_id != current_boot_id())
        return false;
    auto start_time = process_start_time(state.pid);
    return start_time && *start_time == state.start_time;
}

std::optional<std::uint64_t> parse_start_time(const char* text, std::size_t length) {
    // The command name (field 2) may hold blanks and parentheses: count from the last ')'.
    std::size_t i = length;
    while (i > 0 && text[i - 1] != ')')
        --i;
    if (i == 0)
        return std::nullopt;
    int field = 2;
    for (; i < length && field < 22; ++i) {
        if (text[i] == ' ')
            ++field;
    }
    if (field != 22 || i >= length)
        return std::nullopt;
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        if (value > (UINT64_MAX - 9) / 10)
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    if (digits == 0 || (i < length && text[i] != ' ' && text[i] != '\n'))
        return std::nullopt;
    return value;
}

std::optional<std::uint64_t> process_start_time(pid_t pid) {
    if (pid <= 0)
        return std::nullopt;
    auto text = read_small_file("/proc/" + std::to_string(pid) + "/stat");
    if (!text)
        return std::nullopt;
    // A zombie has finished; only its parent has not collected it yet.
    const std::size_t close = text->rfind(')');
    if (close == std::string::npos || close + 2 >= text->size())
        return std::nullopt;
    const char run_state = (*text)[close + 2];
    if (run_state == 'Z' || run_state == 'X' || run_state == 'x')
        return std::nullopt;
    return parse_start_time(text->data(), text->size());
}

std::string current_boot_id() {
    auto text = read_small_file("/proc/sys/kernel/random/boot_id");
    if (!text)
        return "unknown";
    while (!text->empty() && (text->back() == '\n' || text->back() == ' '))
        text->pop_back();
    return *text;
}

bool write_file_atomically(const std::string& path, std::string_view content) {
    const std::string temporary = path + ".tmp";
    ::unlink(temporary.c_str());
    {
        ScopedFd fd(
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd)
            return false;
        std::size_t written = 0;
        while (written < content.size()) {
            const ssize_t n = ::write(fd.get(), content.data() + written, content.size() - written);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ::unlink(temporary.c_str());
                return false;
            }
            written += static_cast<std::size_t>(n);
        }
        if (::fsync(fd.get()) != 0) {
            ::unlink(temporary.c_str());
            return false;
        }
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    auto parent = parent_directory(path);
    ScopedFd directory(::open(parent ? parent->c_str() : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return directory && ::fsync(directory.get()) == 0;
}

std::optional<std::string> read_small_file(const std::string& path) {
    ScopedFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        return std::nullopt;
    std::string content;
    char buffer[4096];
    while (true) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        content.append(buffer, static_cast<std::size_t>(n));
        if (content.size() > kMaxFileBytes)
            return std::nullopt;
    }
    return content;
}

bool remove_file_durably(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return false;
    auto parent = parent_directory(path);
    ScopedFd directory(::open(parent ? parent->c_str() : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return directory && ::fsync(directory.get()) == 0;
}

std::optional<StoredRegistration> load_registration(std::string_view database,
                                                    std::string_view key) {
    auto text = read_small_file(registration_path(database, key));
    if (!text)
        return std::nullopt;
    return decode_registration(*text);
}

std::optional<RuntimeState> load_runtime_state(std::string_view database, std::string_view key) {
    auto text = read_small_file(state_path(database, key));
    if (!text)
        return std::nullopt;
    return decode_runtime_state(*text);
}

DatabaseLock::DatabaseLock(const std::string& database)
    : fd_(::open(database.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) {
    if (!fd_)
        return;
    while (::flock(fd_.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            fd_ = ScopedFd();
            return;
        }
    }
}

bool is_trusted_directory(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return false;
    if (::geteuid() != 0)
        return true;
    return info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace velnaro::platform::local_services
