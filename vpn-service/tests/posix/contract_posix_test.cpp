#include <dlfcn.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "contract/contracts.hpp"
#include "platform/paths.hpp"
#include "platform/posix/loader.hpp"
#include "platform/posix/sealing.hpp"
#include "platform/posix/service_host.hpp"
#include "platform/posix/system.hpp"
#include "platform/posix/systemd/systemd_service_control.hpp"

namespace velnaro::contract {
namespace {

namespace fs = std::filesystem;

// A private folder for the sealing key, a machine id and a file that is not a library, made
// for each test (other suites of this binary rearrange /tmp) and removed after it.
struct Scratch {
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "velnaro-contract-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr)
            root = pattern;
        std::ofstream(join_path(root, "machine-id")) << "0123456789abcdef0123456789abcdef\n";
    }
    ~Scratch() { fs::remove_all(root); }
    std::string root;
};

// A sealing whose key and machine id live in a scratch folder of its own.
std::shared_ptr<platform::Sealing> scratch_sealing() {
    struct Holder {
        Scratch scratch;
        platform::PosixSealing sealing{platform::SealingKeyLocation{
            join_path(scratch.root, "keys"), {join_path(scratch.root, "machine-id")}}};
    };
    auto holder = std::make_shared<Holder>();
    return std::shared_ptr<platform::Sealing>(holder, &holder->sealing);
}

// A file that is there on every system but is no library (nothing is written for it).
std::string text_file() {
    return "/etc/passwd";
}

// The C library this test runs with, found through one of its functions.
std::string c_library() {
    Dl_info info{};
    ::dladdr(reinterpret_cast<void*>(&::getpid), &info);
    return info.dli_fname != nullptr ? info.dli_fname : "";
}

INSTANTIATE_TEST_SUITE_P(Posix, SealingContract,
                         ::testing::Values(SealingSubject{"Posix", scratch_sealing}),
                         subject_name<SealingSubject>);

INSTANTIATE_TEST_SUITE_P(Posix, SystemContract,
                         ::testing::Values(SystemSubject{
                             "Posix", [] { return std::make_shared<platform::PosixSystem>(); },
                             [](const std::string& name, const std::string& value) {
                                 ::setenv(name.c_str(), value.c_str(), 1);
                             }}),
                         subject_name<SystemSubject>);

INSTANTIATE_TEST_SUITE_P(Posix, LoaderContract,
                         ::testing::Values(LoaderSubject{
                             "Posix", [] { return std::make_shared<platform::PosixLoader>(); },
                             c_library(), "getpid", text_file()}),
                         subject_name<LoaderSubject>);

// Registering writes units into /etc/systemd/system and reloads systemd: only inside the
// end-to-end world (tests/e2e/service_control_contract.sh), whose systemd and unit folder are
// its own, never on the machine that runs the tests.
std::string why_systemd_is_out_of_reach() {
    if (::getenv("E2E_IN_WORLD") == nullptr)
        return "changes the service manager: runs only inside the end-to-end world "
               "(E2E_IN_WORLD), see tests/e2e/service_control_contract.sh";
    if (::geteuid() != 0)
        return "registering units needs root";
    std::error_code error;
    if (fs::read_symlink("/proc/1/exe", error).filename() != "systemd")
        return "systemd is not PID 1 here";
    return {};
}

INSTANTIATE_TEST_SUITE_P(
    Posix, ServiceControlContract,
    ::testing::Values(ServiceControlSubject{
        "Systemd", [] { return std::make_shared<platform::SystemdServiceControl>(); },
        "/opt/velnaro/never-started --never-started", why_systemd_is_out_of_reach, true,
        "/bin/sh -c \"trap 'sleep 0.3; exit 0' TERM; while :; do sleep 1 & wait; done\""}),
    subject_name<ServiceControlSubject>);

std::optional<std::string> thread_name(platform::ServiceHost&) {
    char name[16] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0)
        return std::nullopt;
    return std::string(name);
}

// No service manager here: the dispatcher runs the main in the foreground.
INSTANTIATE_TEST_SUITE_P(Posix, ServiceHostContract,
                         ::testing::Values(ServiceHostSubject{
                             .name = "Posix",
                             .make = [] { return std::make_shared<platform::PosixServiceHost>(); },
                             .dispatcher_runs_main = true,
                             .current_thread_name = thread_name}),
                         subject_name<ServiceHostSubject>);

}  // namespace
}  // namespace velnaro::contract
