#include "platform/file_writing.hpp"

namespace velnaro::platform {

bool write_all(FileSystem& files, FileHandle file, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const auto written = files.write_file(file, bytes);
        if (!written || *written == 0 || *written > bytes.size())
            return false;
        bytes = bytes.subspan(*written);
    }
    return true;
}

}  // namespace velnaro::platform
