#include "platform/posix/journal_log.hpp"

#include <sys/uio.h>
#include <systemd/sd-journal.h>

#include <cstring>
#include <string>
#include <vector>

namespace velnaro::platform {

void JournalLog::write(LogPriority priority, std::optional<DetailCode> code,
                       std::string_view message, int os_error, std::string_view subject) {
    std::vector<std::string> fields;
    fields.push_back("MESSAGE=" + std::string(message));
    fields.push_back("PRIORITY=" + std::to_string(static_cast<int>(priority)));
    fields.push_back("SYSLOG_IDENTIFIER=vpn-service");
    if (code) {
        fields.push_back("DETAIL_CODE=" + std::string(to_text(*code)));
        fields.push_back("DETAIL_NUMBER=" + std::to_string(stable_number(*code)));
    }
    if (os_error != 0) {
        fields.push_back("ERRNO=" + std::to_string(os_error));
        fields.push_back("ERROR_TEXT=" + std::string(std::strerror(os_error)));
    }
    if (!subject.empty())
        fields.push_back("SUBJECT=" + std::string(subject));
    std::vector<iovec> vector;
    for (auto& field : fields)
        vector.push_back(iovec{field.data(), field.size()});
    // Without a journal (run by hand, outside systemd) the line is dropped.
    sd_journal_sendv(vector.data(), static_cast<int>(vector.size()));
}

}  // namespace velnaro::platform
