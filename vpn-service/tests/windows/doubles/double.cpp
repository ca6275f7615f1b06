// A stand-in for one of the two WireGuard libraries. Which entry points it exports is
// chosen at build time; how they behave is read from "behaviour.txt" beside the library at
// every call, so a test can change it while the library stays loaded. Lines are
// "key=value": keys=normal|zero_public|zero_private, tunnel_result=N (the boolean's byte),
// adapter=absent, state=N, state_call=fail, probe_size=N, read=fail, returned_size=N. The
// configuration block is the content of "block.bin". Calls are appended to "calls.txt"; the path given
// to the tunnel service is written to "tunnel_path.bin" as UTF-16; tunnel_service=dispatch
// makes that call run as the tunnel's service until it is stopped; start_pending_ms=N keeps
// that service START_PENDING for N ms first, refusing every control meanwhile, as the real
// tunnel does while it reads its configuration, resolves the endpoint and creates its adapter.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "wireguard/component_abi.hpp"

namespace {

int g_adapter_token = 0;

std::filesystem::path own_folder() {
    HMODULE self = nullptr;
    ::GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&g_adapter_token), &self);
    wchar_t path[4096] = {};
    ::GetModuleFileNameW(self, path, 4096);
    return std::filesystem::path(path).parent_path();
}

std::map<std::string, std::string> behaviour() {
    std::map<std::string, std::string> values;
    std::ifstream in(own_folder() / "behaviour.txt");
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const auto eq = line.find('=');
        if (eq != std::string::npos)
            values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

std::string value_of(const std::string& key, const std::string& fallback) {
    const auto values = behaviour();
    const auto it = values.find(key);
    return it == values.end() ? fallback : it->second;
}

std::uint32_t number_of(const std::string& key, std::uint32_t fallback) {
    const std::string text = value_of(key, "");
    return text.empty() ? fallback : static_cast<std::uint32_t>(std::stoul(text));
}

void log_call(const char* name) {
    std::ofstream(own_folder() / "calls.txt", std::ios::app) << name << "\n";
}

[[maybe_unused]] std::vector<char> block() {
    std::ifstream in(own_folder() / "block.bin", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

#ifdef VELNARO_DOUBLE_TUNNEL
// With "tunnel_service=dispatch" the tunnel call runs as the tunnel's own service until the
// manager stops it, as the real library does; the tunnel service manager's tests need a
// service that stays up and stops on request.
HANDLE g_stop_requested = nullptr;
SERVICE_STATUS_HANDLE g_tunnel_status = nullptr;
std::atomic<bool> g_starting = false;

void report_tunnel(DWORD state, DWORD accepted, DWORD wait_hint = 0) {
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state, accepted, NO_ERROR, 0, 0, wait_hint};
    ::SetServiceStatus(g_tunnel_status, &status);
}

DWORD WINAPI tunnel_control(DWORD control, DWORD, LPVOID, LPVOID) {
    // A manager that forwards a control to a service that accepts none (Wine's does for a
    // stop while starting) gets the answer the real manager gives on its own.
    if (g_starting.load())
        return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        ::SetEvent(g_stop_requested);
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI tunnel_service_main(DWORD, LPWSTR*) {
    g_tunnel_status =
        ::RegisterServiceCtrlHandlerExW(L"WireGuardTunnel$VelnaroTunnel", tunnel_control, nullptr);
    if (g_tunnel_status == nullptr)
        return;
    if (const DWORD starting = number_of("start_pending_ms", 0); starting > 0) {
        g_starting = true;
        report_tunnel(SERVICE_START_PENDING, 0, starting + 1000);
        ::Sleep(starting);
        g_starting = false;
    }
    report_tunnel(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);
    ::WaitForSingleObject(g_stop_requested, INFINITE);
    report_tunnel(SERVICE_STOPPED, 0);
}

std::uint32_t run_as_tunnel_service() {
    g_stop_requested = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wchar_t name[] = L"WireGuardTunnel$VelnaroTunnel";
    SERVICE_TABLE_ENTRYW table[] = {{name, tunnel_service_main}, {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherW(table) ? 1 : 0;
}
#endif

}  // namespace

extern "C" {

#ifdef VELNARO_DOUBLE_TUNNEL
// Returns nothing, as the real export does.
__declspec(dllexport) void WireGuardGenerateKeypair(std::uint8_t* public_key,
                                                    std::uint8_t* private_key) {
    log_call("generate_keypair");
    const std::string keys = value_of("keys", "normal");
    for (int i = 0; i < 32; ++i) {
        private_key[i] = static_cast<std::uint8_t>(0x21 + i);
        public_key[i] = static_cast<std::uint8_t>(0x81 + i);
    }
    if (keys == "zero_public")
        std::memset(public_key, 0, 32);
    if (keys == "zero_private")
        std::memset(private_key, 0, 32);
}

// The library's export returns a one-byte boolean, which defines only the low byte of the
// return register. This stand-in returns 32 bits with garbage above that byte, so a caller
// that reads more than the boolean takes a failure (0x12345600) for success.
__declspec(dllexport) std::uint32_t WireGuardTunnelService(const char16_t* config_path) {
    constexpr std::uint32_t kGarbage = 0x12345600;
    log_call("tunnel_service");
    const std::u16string path(config_path);
    std::ofstream(own_folder() / "tunnel_path.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(path.data()),
               static_cast<std::streamsize>(path.size() * sizeof(char16_t)));
    if (value_of("tunnel_service", "return") == "dispatch")
        return kGarbage | run_as_tunnel_service();
    return kGarbage | (number_of("tunnel_result", 1) & 0xFF);
}
#endif

#ifdef VELNARO_DOUBLE_WIREGUARD
__declspec(dllexport) WireGuardAdapterHandle WireGuardOpenAdapter(const char16_t* name) {
    if (value_of("adapter", "present") == "absent" || std::u16string(name) != u"VelnaroTunnel") {
        return nullptr;
    }
    log_call("open_adapter");
    return &g_adapter_token;
}

__declspec(dllexport) void WireGuardCloseAdapter(WireGuardAdapterHandle adapter) {
    if (adapter == &g_adapter_token)
        log_call("close_adapter");
}

__declspec(dllexport) std::uint32_t
    WireGuardGetAdapterState(WireGuardAdapterHandle adapter, std::uint32_t* state) {
    if (adapter != &g_adapter_token || value_of("state_call", "") == "fail")
        return 0;
    *state = number_of("state", 1);
    return 1;
}

#ifndef VELNARO_DOUBLE_OMIT_GET_CONFIGURATION
__declspec(dllexport) std::uint32_t
    WireGuardGetConfiguration(WireGuardAdapterHandle adapter, void* configuration,
                              std::uint32_t* bytes) {
    if (adapter != &g_adapter_token)
        return 0;
    const std::vector<char> content = block();
    const auto size = static_cast<std::uint32_t>(content.size());
    if (configuration == nullptr) {
        *bytes = number_of("probe_size", size);
        return 0;
    }
    if (value_of("read", "") == "fail")
        return 0;
    std::memcpy(configuration, content.data(), *bytes < size ? *bytes : size);
    *bytes = number_of("returned_size", size);
    return 1;
}
#endif
#endif
}
