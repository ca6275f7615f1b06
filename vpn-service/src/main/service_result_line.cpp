#include "main/service_result_line.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "main/output.hpp"

namespace velnaro {

int print_service_result(const ServiceCommandResult& result) {
    std::string line;
    try {
        line.reserve(128);
        line = to_json(result);
    } catch (const std::exception&) {
        std::fputs("service result must serialize\n", stderr);
        std::abort();
    }
    print_line(line);
    return result.success ? 0 : 1;
}

}  // namespace velnaro
