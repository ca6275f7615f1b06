#pragma once

#include "platform/log.hpp"

namespace velnaro::platform {

// The systemd journal: MESSAGE, PRIORITY, DETAIL_CODE (the text) and DETAIL_NUMBER (the
// stable number), ERRNO and SUBJECT (the path or unit name) when known.
class JournalLog final : public Log {
  public:
    void write(LogPriority priority, std::optional<DetailCode> code, std::string_view message,
               int os_error, std::string_view subject) override;
};

}  // namespace velnaro::platform
