// Opening a sealed file on Linux. The key lives in a private directory made for this run,
// with a fixed secret and machine id, so that the committed seeds are blobs that open.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/posix/sealing.hpp"

namespace {

std::string g_root;

void remove_key_directory() {
    std::error_code ignored;
    std::filesystem::remove_all(g_root, ignored);
}

std::string make_key_directory() {
    char pattern[] = "/tmp/velnaro-fuzz-seal-XXXXXX";
    const char* directory = ::mkdtemp(pattern);
    if (directory == nullptr)
        std::abort();
    const std::string root(directory);
    g_root = root;
    std::atexit(remove_key_directory);
    const std::string keys = root + "/keys";
    ::mkdir(keys.c_str(), 0700);
    std::ofstream(root + "/machine-id") << "0123456789abcdef0123456789abcdef\n";
    const std::string key_file = keys + "/" + std::to_string(::geteuid()) + ".key";
    std::array<char, 32> secret{};
    for (std::size_t i = 0; i < secret.size(); ++i)
        secret[i] = static_cast<char>(0xA0 + i);
    std::ofstream(key_file, std::ios::binary).write(secret.data(), secret.size());
    ::chmod(key_file.c_str(), 0600);
    return root;
}

velnaro::platform::PosixSealing& sealing() {
    static velnaro::platform::PosixSealing instance = [] {
        const std::string root = make_key_directory();
        velnaro::platform::SealingKeyLocation location;
        location.key_directory = root + "/keys";
        location.machine_id_files = {root + "/machine-id"};
        return velnaro::platform::PosixSealing(location);
    }();
    return instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto& seal = sealing();
    seal.unprotect({data, size});

    // Sealing the input and opening it again gives back the input and its description.
    const auto blob = seal.protect({data, size}, u"VelnaroTunnel");
    if (!blob)
        std::abort();
    const auto opened = seal.unprotect(*blob);
    if (!opened || opened->description != u"VelnaroTunnel" || opened->data.size() != size ||
        !std::equal(opened->data.begin(), opened->data.end(), data)) {
        std::abort();
    }
    return 0;
}
