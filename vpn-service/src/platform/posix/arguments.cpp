#include "platform/arguments.hpp"

namespace velnaro::platform {

std::vector<std::string> program_arguments(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i]);
    }
    return args;
}

void use_binary_standard_streams() {}

std::FILE* open_for_reading(const std::string& path) { return std::fopen(path.c_str(), "rb"); }

}  // namespace velnaro::platform
