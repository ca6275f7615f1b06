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

}  // namespace velnaro::platform
