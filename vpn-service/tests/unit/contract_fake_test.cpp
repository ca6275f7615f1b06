#include <memory>

#include "contract/contracts.hpp"
#include "fake/fake_platform.hpp"
#include "platform/paths.hpp"

namespace velnaro::contract {
namespace {

// A fake of one area with the fault switch it reports to.
template <class Fake>
std::shared_ptr<Fake> make_fake() {
    struct Holder {
        fake::Faults faults;
        Fake area{faults};
    };
    auto holder = std::make_shared<Holder>();
    return std::shared_ptr<Fake>(holder, &holder->area);
}

int library_export = 0;

INSTANTIATE_TEST_SUITE_P(Fake, SealingContract,
                         ::testing::Values(SealingSubject{
                             "Fake", [] { return make_fake<fake::FakeSealing>(); }}),
                         subject_name<SealingSubject>);

const auto fake_system = [] {
    auto system = make_fake<fake::FakeSystem>();
    system->executable = join_path(fake::fake_root(), "vpn-service.exe");
    return system;
}();

INSTANTIATE_TEST_SUITE_P(Fake, SystemContract,
                         ::testing::Values(SystemSubject{
                             "Fake", [] { return fake_system; },
                             [](const std::string& name, const std::string& value) {
                                 fake_system->environment[name] = value;
                             }}),
                         subject_name<SystemSubject>);

const std::string kFakeLibrary = join_path(fake::fake_root(), "wireguard.dll");

INSTANTIATE_TEST_SUITE_P(
    Fake, LoaderContract,
    ::testing::Values(LoaderSubject{
        "Fake",
        [] {
            auto loader = make_fake<fake::FakeLoader>();
            loader->add_library(kFakeLibrary, {{"WireGuardOpenAdapter", &library_export}});
            return loader;
        },
        kFakeLibrary, "WireGuardOpenAdapter", join_path(fake::fake_root(), "readme.txt")}),
    subject_name<LoaderSubject>);

INSTANTIATE_TEST_SUITE_P(Fake, ServiceControlContract,
                         ::testing::Values(ServiceControlSubject{
                             "Fake", [] { return make_fake<fake::FakeServices>(); },
                             "\"C:\\Velnaro\\never-started.exe\"", {}, true}),
                         subject_name<ServiceControlSubject>);

// Started from a console it refuses as Win32 does; started by the manager it runs the main.
std::shared_ptr<fake::FakeServiceHost> fake_host(bool started_by_manager) {
    auto host = make_fake<fake::FakeServiceHost>();
    host->started_by_manager = started_by_manager;
    return host;
}

std::optional<std::string> last_thread_name(platform::ServiceHost& host) {
    const auto names = static_cast<fake::FakeServiceHost&>(host).thread_names();
    return names.empty() ? std::nullopt : std::optional(names.back());
}

INSTANTIATE_TEST_SUITE_P(
    Fake, ServiceHostContract,
    ::testing::Values(ServiceHostSubject{.name = "FromConsole",
                                         .make = [] { return fake_host(false); },
                                         .current_thread_name = last_thread_name},
                      ServiceHostSubject{.name = "StartedByManager",
                                         .make = [] { return fake_host(true); },
                                         .dispatcher_runs_main = true,
                                         .started_by_manager = true,
                                         .current_thread_name = last_thread_name}),
    subject_name<ServiceHostSubject>);

}  // namespace
}  // namespace velnaro::contract
