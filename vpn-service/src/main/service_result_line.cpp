#include "main/service_result_line.hpp"

#include "main/output.hpp"

namespace velnaro {

int print_service_result(platform::Log& log, const ServiceCommandResult& result) {
    platform::log_failure(log, result.failure);
    return print_result_line(serialized([&] { return to_json(result); }), result.success,
                             "service result");
}

}  // namespace velnaro
