#include "main/service_result_line.hpp"

#include "main/output.hpp"

namespace velnaro {

int print_service_result(const ServiceCommandResult& result) {
    return print_result_line(serialized([&] { return to_json(result); }), result.success,
                             "service result");
}

}  // namespace velnaro
