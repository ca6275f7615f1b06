#include "core/command_line.hpp"

namespace velnaro {

std::string quote_command_line_argument(std::string_view argument) {
    const bool needs_quotes =
        argument.empty() || argument.find_first_of(" \t\n\v\"") != std::string_view::npos;
    if (!needs_quotes) {
        return std::string(argument);
    }
    std::string out;
    out.reserve(argument.size() + 2);
    out.push_back('"');
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
        } else {
            out.append(backslashes, '\\');
        }
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, '\\');
    out.push_back('"');
    return out;
}

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::vector<std::string> split_command_line(std::string_view line) {
    std::vector<std::string> args;
    std::size_t i = 0;

    while (true) {
        while (i < line.size() && is_blank(line[i])) ++i;
        if (i >= line.size()) break;
        std::string arg;
        bool quoted = false;
        while (i < line.size() && (quoted || !is_blank(line[i]))) {
            std::size_t backslashes = 0;
            while (i < line.size() && line[i] == '\\') {
                ++backslashes;
                ++i;
            }
            if (i < line.size() && line[i] == '"') {
                arg.append(backslashes / 2, '\\');
                if (backslashes % 2 == 1) {
                    arg.push_back('"');
                    ++i;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                arg.append(backslashes, '\\');
                if (i < line.size() && (quoted || !is_blank(line[i]))) {
                    arg.push_back(line[i]);
                    ++i;
                }
            }
        }
        args.push_back(std::move(arg));
    }
    return args;
}

}  // namespace velnaro
