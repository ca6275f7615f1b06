#include "platform/windows/pipes.hpp"

#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>

#include <cstdint>
#include <vector>

#include "platform/windows/owned_handle.hpp"
#include "platform/windows/pipe_endpoint.hpp"
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
    if (!::CreateWellKnownSid(WinLocalSystemSid, nullptr, system_sid, &sid_size))
        return ServerCheck::unverifiable;
    return ::EqualSid(user->User.Sid, system_sid) ? ServerCheck::privileged_service
                                                  : ServerCheck::other_account;
}

}  // namespace

Win32Pipes::Win32Pipes() = default;
Win32Pipes::~Win32Pipes() = default;

std::shared_ptr<Win32Pipes::Endpoint> Win32Pipes::find(PipeHandle handle) {
    std::lock_guard lock(mutex_);
    const auto found = endpoints_.find(handle.value);
    return found == endpoints_.end() ? nullptr : found->second;
}

PipeHandle Win32Pipes::keep(std::shared_ptr<Endpoint> endpoint) {
    std::lock_guard lock(mutex_);
    const std::uintptr_t value = next_handle_++;
    endpoints_.emplace(value, std::move(endpoint));
    return PipeHandle{value};
}

PipeIo Win32Pipes::read(PipeHandle pipe, std::span<std::uint8_t> buffer,
                        std::chrono::milliseconds limit) {
    const auto endpoint = find(pipe);
    if (!endpoint || buffer.empty())
        return {PipeIoStatus::failed, 0};
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MAXDWORD));
    return endpoint->transfer(limit, [&](OVERLAPPED* overlapped) {
        return ::ReadFile(endpoint->pipe.get(), buffer.data(), size, nullptr, overlapped) != 0;
    });
}

PipeIo Win32Pipes::write(PipeHandle pipe, std::span<const std::uint8_t> data,
                         std::chrono::milliseconds limit) {
    const auto endpoint = find(pipe);
    if (!endpoint || data.empty())
        return {PipeIoStatus::failed, 0};
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(data.size(), MAXDWORD));
    return endpoint->transfer(limit, [&](OVERLAPPED* overlapped) {
        return ::WriteFile(endpoint->pipe.get(), data.data(), size, nullptr, overlapped) != 0;
    });
}

void Win32Pipes::close(PipeHandle pipe) {
    std::shared_ptr<Endpoint> endpoint;
    {
        std::lock_guard lock(mutex_);
        const auto found = endpoints_.find(pipe.value);
        if (found == endpoints_.end())
            return;
        endpoint = std::move(found->second);
        endpoints_.erase(found);
        if (!endpoint->listener)
            return;
        // A server's connections end with it.
        std::erase_if(endpoints_,
                      [&](const auto& entry) { return entry.second->owner == pipe.value; });
    }
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

std::expected<PipeHandle, PipeOpenError> Win32Pipes::open_client(std::string_view name,
                                                                 std::chrono::milliseconds wait) {
    const auto wide_name = to_wide(name);
    if (!wide_name)
        return std::unexpected(PipeOpenError::unavailable);
    // A zero wait would mean the pipe's default time-out to WaitNamedPipeW; it means "now".
    if (wait.count() > 0 && !::WaitNamedPipeW(wide_name->c_str(), milliseconds_of(wait))) {
        return std::unexpected(PipeOpenError::unavailable);
    }
    HANDLE pipe = ::CreateFileW(wide_name->c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        return std::unexpected(wait.count() > 0 ? PipeOpenError::open_failed
                                                : PipeOpenError::unavailable);
    }
    auto endpoint = std::make_shared<Endpoint>();
    endpoint->pipe.reset(pipe);
    if (!endpoint->event)
        return std::unexpected(PipeOpenError::open_failed);
    return keep(std::move(endpoint));
}

ServerCheck Win32Pipes::verify_server(PipeHandle client) {
    const auto endpoint = find(client);
    if (!endpoint || endpoint->server)
        return ServerCheck::unverifiable;
    ULONG server_pid = 0;
    if (!::GetNamedPipeServerProcessId(endpoint->pipe.get(), &server_pid))
        return ServerCheck::unverifiable;
    const OwnedHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, server_pid));
    if (!process)
        return ServerCheck::unverifiable;
    // Had the server gone between the two calls, its id could already name another process;
    // while the server's end is still open, the process opened is the server.
    DWORD available = 0;
    if (!::PeekNamedPipe(endpoint->pipe.get(), nullptr, 0, nullptr, &available, nullptr))
        return ServerCheck::unverifiable;
    return check_process_account(process.get());
}

}  // namespace velnaro::platform
