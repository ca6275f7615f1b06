// Service command lines: any list of arguments, each quoted and joined by one blank, splits
// back into exactly the same list; and splitting arbitrary text never fails.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/command_line.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velnaro;
    split_command_line({reinterpret_cast<const char*>(data), size});

    FuzzedDataProvider input(data, size);
    std::vector<std::string> arguments;
    while (input.remaining_bytes() > 0) {
        arguments.push_back(input.ConsumeRandomLengthString(64));
    }
    std::string line;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (i > 0)
            line += ' ';
        line += quote_command_line_argument(arguments[i]);
    }
    if (split_command_line(line) != arguments)
        std::abort();
    return 0;
}
