#include <windows.h>

#include <fstream>
#include <memory>

#include "contract/contracts.hpp"
#include "platform/windows/loader.hpp"
#include "platform/windows/sealing.hpp"
#include "platform/windows/service_control.hpp"
#include "platform/windows/service_host.hpp"
#include "platform/windows/system.hpp"
#include "platform/windows/wide.hpp"

namespace velnaro::contract {
namespace {

std::string system_directory() {
    wchar_t buffer[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(buffer, MAX_PATH);
    return platform::from_wide(std::wstring(buffer, length));
}

// A text file beside the test's temporary files: there, but not a library.
std::string text_file() {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH, buffer);
    const std::string path =
        platform::from_wide(std::wstring(buffer, length)) + "velnaro-not-a-library.dll";
    std::ofstream(path) << "just text\n";
    return path;
}

INSTANTIATE_TEST_SUITE_P(Win32, SealingContract,
                         ::testing::Values(SealingSubject{
                             "Win32", [] { return std::make_shared<platform::Win32Sealing>(); }}),
                         subject_name<SealingSubject>);

INSTANTIATE_TEST_SUITE_P(Win32, SystemContract,
                         ::testing::Values(SystemSubject{
                             "Win32", [] { return std::make_shared<platform::Win32System>(); },
                             [](const std::string& name, const std::string& value) {
                                 ::SetEnvironmentVariableW(platform::to_wide(name)->c_str(),
                                                           platform::to_wide(value)->c_str());
                             }}),
                         subject_name<SystemSubject>);

INSTANTIATE_TEST_SUITE_P(Win32, LoaderContract,
                         ::testing::Values(LoaderSubject{
                             "Win32", [] { return std::make_shared<platform::Win32Loader>(); },
                             system_directory() + "\\kernel32.dll", "GetTickCount", text_file()}),
                         subject_name<LoaderSubject>);

INSTANTIATE_TEST_SUITE_P(Win32, ServiceControlContract,
                         ::testing::Values(ServiceControlSubject{
                             "Win32",
                             [] { return std::make_shared<platform::Win32ServiceControl>(); },
                             "\"C:\\Velnaro\\never-started.exe\" --never-started"}),
                         subject_name<ServiceControlSubject>);

// Older systems and Wine may lack the call that reads a thread's description.
std::optional<std::string> thread_description(platform::ServiceHost&) {
    using GetThreadDescriptionFunction = HRESULT(WINAPI*)(HANDLE, PWSTR*);
    const auto get_description =
        reinterpret_cast<GetThreadDescriptionFunction>(reinterpret_cast<void*>(
            ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
    PWSTR description = nullptr;
    if (get_description == nullptr || FAILED(get_description(::GetCurrentThread(), &description)))
        return std::nullopt;
    std::string name = platform::from_wide(description);
    ::LocalFree(description);
    return name;
}

// A test program is no service: the dispatcher cannot connect to the manager.
const ServiceHostSubject kWin32Host{
    .name = "Win32",
    .make = [] { return std::make_shared<platform::Win32ServiceHost>(); },
    .current_thread_name = thread_description};

INSTANTIATE_TEST_SUITE_P(Win32, ServiceHostContract, ::testing::Values(kWin32Host),
                         subject_name<ServiceHostSubject>);

}  // namespace
}  // namespace velnaro::contract
