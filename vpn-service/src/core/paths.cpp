#include "core/paths.hpp"

namespace velnaro {
namespace {

bool is_separator(char c, PathStyle style) {
    return c == '/' || (style == PathStyle::windows && c == '\\');
}

char separator_of(PathStyle style) {
    return style == PathStyle::windows ? '\\' : '/';
}

bool is_drive_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// "\\server\share" and longer: both names present. The device ("\\.\") and verbatim
// ("\\?\") prefixes take this form too, with "." or "?" in the place of the server.
bool is_unc_path(std::string_view path) {
    constexpr PathStyle style = PathStyle::windows;
    if (path.size() < 2 || !is_separator(path[0], style) || !is_separator(path[1], style))
        return false;
    const std::string_view rest = path.substr(2);
    std::size_t server_end = 0;
    while (server_end < rest.size() && !is_separator(rest[server_end], style))
        ++server_end;
    if (server_end == 0 || server_end + 1 >= rest.size())
        return false;
    return !is_separator(rest[server_end + 1], style);
}

}  // namespace

bool is_absolute_path(std::string_view path, PathStyle style) {
    if (style == PathStyle::posix) {
        return !path.empty() && path.front() == '/';
    }
    if (is_unc_path(path))
        return true;
    return path.size() >= 3 && is_drive_letter(path[0]) && path[1] == ':' &&
           is_separator(path[2], style);
}

std::string join_path(std::string_view directory, std::string_view name, PathStyle style) {
    std::string out(directory);
    if (!out.empty() && !is_separator(out.back(), style)) {
        out.push_back(separator_of(style));
    }
    out.append(name);
    return out;
}

std::optional<std::string> parent_directory(std::string_view path, PathStyle style) {
    std::size_t end = path.size();
    while (end > 1 && is_separator(path[end - 1], style))
        --end;  // trailing separators
    std::size_t cut = end;
    while (cut > 0 && !is_separator(path[cut - 1], style))
        --cut;
    if (cut == 0) {
        return std::nullopt;
    }
    std::size_t parent_end = cut;
    while (parent_end > 1 && is_separator(path[parent_end - 1], style))
        --parent_end;
    std::string parent(path.substr(0, parent_end));
    if (style == PathStyle::windows) {
        // "C:" alone is not a directory; keep its root separator.
        if (parent.size() == 2 && parent[1] == ':')
            parent.push_back('\\');
    }
    return parent;
}

std::string_view file_name(std::string_view path, PathStyle style) {
    std::size_t cut = path.size();
    while (cut > 0 && !is_separator(path[cut - 1], style))
        --cut;
    return path.substr(cut);
}

}  // namespace velnaro
