#include "platform/windows/pipes.hpp"

#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/version.hpp"
#include "platform/windows/owned_handle.hpp"
#include "platform/windows/pipe_endpoint.hpp"
#include "platform/windows/well_known_accounts.hpp"
#include "platform/windows/wide.hpp"

namespace velnaro::platform {

namespace {

// The user of a process's primary token compared with the local system account.
ServerCheck check_process_account(HANDLE process) {
    HANDLE raw_token = nullptr;
    if (!::OpenProcessToken(process, TOKEN_QUERY, &raw_token))
        return ServerCheck::unverifiable;
    const OwnedHandle token(raw_token);
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size == 0)
        return ServerCheck::unverifiable;
    // Whole 64-bit words, so the TOKEN_USER at the start is suitably aligned.
    std::vector<std::uint64_t> buffer((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    if (!::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size))
        return ServerCheck::unverifiable;
    const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
    BYTE system_sid[SECURITY_MAX_SID_SIZE] = {};
    DWORD sid_size = sizeof(system_sid);
    if (!::CreateWellKnownSid(kLocalSystemSid, nullptr, system_sid, &sid_size))
        return ServerCheck::unverifiable;
    return ::EqualSid(user->User.Sid, system_sid) ? ServerCheck::privileged_service
                                                  : ServerCheck::other_account;
}

// Without the quality-of-service flags a client lets whoever serves the name impersonate it
// fully; with them the server may at most identify it, or learn nothing (the wake-up).
DWORD client_flags(ClientIdentity identity) {
    const DWORD level =
        identity == ClientIdentity::anonymous ? SECURITY_ANONYMOUS : SECURITY_IDENTIFICATION;
    return FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | level;
}

// The process id of the running service as the service manager gives it; interactive users
// are granted SERVICE_QUERY_STATUS, so this works without elevation. Nothing when the service
// is not installed, not running, or the manager would not say.
std::optional<DWORD> running_service_process() {
    const auto name = to_wide(kServiceName);
    if (!name)
        return std::nullopt;
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr)
        return std::nullopt;
    SC_HANDLE service = ::OpenServiceW(manager, name->c_str(), SERVICE_QUERY_STATUS);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    const bool queried =
        service != nullptr &&
        ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                               sizeof status, &needed);
    if (service != nullptr)
        ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);
    if (!queried || status.dwProcessId == 0 ||
        (status.dwCurrentState != SERVICE_RUNNING &&
         status.dwCurrentState != SERVICE_START_PENDING)) {
        return std::nullopt;
    }
    return status.dwProcessId;
}

}  // namespace

PipeIo Win32Connection::read(std::span<std::uint8_t> buffer, std::chrono::milliseconds limit) {
    if (buffer.empty())
        return {PipeIoStatus::failed, 0, os_error(ERROR_INVALID_PARAMETER, "ReadFile", name_)};
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MAXDWORD));
    return instance_->transfer(limit, "ReadFile", name_, [&](OVERLAPPED* overlapped) {
        return ::ReadFile(instance_->pipe.get(), buffer.data(), size, nullptr, overlapped) != 0;
    });
}

PipeIo Win32Connection::write(std::span<const std::uint8_t> data, std::chrono::milliseconds limit) {
    if (data.empty())
        return {PipeIoStatus::failed, 0, os_error(ERROR_INVALID_PARAMETER, "WriteFile", name_)};
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(data.size(), MAXDWORD));
    return instance_->transfer(limit, "WriteFile", name_, [&](OVERLAPPED* overlapped) {
        return ::WriteFile(instance_->pipe.get(), data.data(), size, nullptr, overlapped) != 0;
    });
}

bool Win32Pipes::pipe_exists(std::string_view name) {
    const auto wide_name = to_wide(name);
    if (!wide_name)
        return false;
    if (::WaitNamedPipeW(wide_name->c_str(), 1))
        return true;
    // A busy instance still exists; only "not found" means nobody holds the name.
    return ::GetLastError() != ERROR_FILE_NOT_FOUND;
}

std::expected<std::unique_ptr<PipeConnection>, PipeOpenError> Win32Pipes::open_client(
    std::string_view name, std::chrono::milliseconds wait, ClientIdentity identity) {
    const auto refused = [&](PipeOpenError::Reason reason, DWORD error, const char* operation) {
        return std::unexpected(PipeOpenError{reason, os_error(error, operation, name)});
    };
    const auto wide_name = to_wide(name);
    if (!wide_name)
        return refused(PipeOpenError::unavailable, ERROR_INVALID_NAME, "CreateFileW");
    // A zero wait would mean the pipe's default time-out to WaitNamedPipeW; it means "now".
    if (wait.count() > 0 && !::WaitNamedPipeW(wide_name->c_str(), milliseconds_of(wait))) {
        return refused(PipeOpenError::unavailable, ::GetLastError(), "WaitNamedPipeW");
    }
    // Only the rights the pipe's access list gives interactive users: GENERIC_WRITE would also
    // ask for FILE_CREATE_PIPE_INSTANCE, which only the service holds, and be refused.
    HANDLE pipe = ::CreateFileW(wide_name->c_str(),
                                FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES, 0,
                                nullptr, OPEN_EXISTING, client_flags(identity), nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        // WaitNamedPipeW wakes every waiter and only one of them gets the instance; the others
        // find it busy (or gone between two instances) and may wait again.
        const DWORD error = ::GetLastError();
        const bool lost_the_race = error == ERROR_PIPE_BUSY || error == ERROR_FILE_NOT_FOUND;
        return refused(wait.count() > 0 && !lost_the_race ? PipeOpenError::open_failed
                                                          : PipeOpenError::unavailable,
                       error, "CreateFileW");
    }
    auto instance = std::make_shared<PipeInstance>();
    instance->pipe.reset(pipe);
    if (!instance->event)
        return refused(PipeOpenError::open_failed, ::GetLastError(), "CreateEventW");
    return std::make_unique<Win32Connection>(std::move(instance), std::string(name), true);
}

ServerCheck Win32Connection::verify_server() {
    if (!client_ || !instance_->pipe)
        return ServerCheck::unverifiable;
    const HANDLE pipe = instance_->pipe.get();
    ULONG server_pid = 0;
    if (!::GetNamedPipeServerProcessId(pipe, &server_pid))
        return ServerCheck::unverifiable;
    // Services run in session 0; a server in a user's session is nobody's service.
    DWORD session = 0;
    if (::ProcessIdToSessionId(server_pid, &session) && session != 0)
        return ServerCheck::other_account;
    // The service manager's word first: a standard user cannot open a SYSTEM process's
    // token, but may ask which process runs the service.
    const auto service_pid = running_service_process();
    const OwnedHandle process(
        service_pid ? nullptr
                    : ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, server_pid));
    if (!service_pid && !process)
        return ServerCheck::unverifiable;
    // Had the server gone between the calls, its id could already name another process;
    // while the server's end is still open, the id (and the process opened) is the server's.
    DWORD available = 0;
    if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
        return ServerCheck::unverifiable;
    if (service_pid)
        return *service_pid == server_pid ? ServerCheck::privileged_service
                                          : ServerCheck::other_account;
    return check_process_account(process.get());
}

}  // namespace velnaro::platform
