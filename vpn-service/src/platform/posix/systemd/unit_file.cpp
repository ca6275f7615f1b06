#include "platform/posix/systemd/unit_file.hpp"

#include <algorithm>
#include <array>

namespace velnaro::platform {
namespace {

bool is_unit_name_character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == ':' || c == '-';
}

// A value that holds a line break or another control character would end its line and
// add directives of its own.
bool fits_one_line(std::string_view value) {
    return std::none_of(value.begin(), value.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// '%' starts a specifier and '$' a variable in ExecStart; both are doubled to stand for
// themselves.
std::string exec_start_of(std::string_view command_line) {
    std::string out;
    for (char c : command_line) {
        if (c == '%' || c == '$')
            out += c;
        out += c;
    }
    return out;
}

enum class Role { service, tunnel, other };

Role role_of(std::string_view command_line) {
    if (command_line.find(" --tunnel-service ") != std::string_view::npos)
        return Role::tunnel;
    constexpr std::string_view kService = " --service";
    if (command_line.size() > kService.size() && command_line.ends_with(kService))
        return Role::service;
    return Role::other;
}

// What every unit gets: no new privileges, a read-only system, no home, a private /tmp, no
// kernel tuning, the usual system calls only. The kernel's part is the role's (below).
constexpr std::string_view kSystemHardening =
    "NoNewPrivileges=yes\n"
    "ProtectSystem=strict\n"
    "ProtectHome=yes\n"
    "PrivateTmp=yes\n";

constexpr std::string_view kKernelHardening =
    "ProtectKernelTunables=yes\n"
    "ProtectKernelModules=yes\n"
    "ProtectKernelLogs=yes\n"
    "ProtectControlGroups=yes\n";

// The tunnel's start is what a person waits for when connecting, so it gets the cheaper
// sandbox of equal reach: it needs nothing of /sys, which one empty read-only tmpfs hides
// whole, where protecting kernel tunables and control groups remounts every mount below /sys
// read-only, one by one; ProcSubset=pid already hides /proc/sys and the kernel's other files.
constexpr std::string_view kTunnelKernelHardening =
    "ProtectKernelModules=yes\n"
    "ProtectKernelLogs=yes\n"
    "TemporaryFileSystem=/sys:ro\n"
    "PrivateMounts=yes\n";

constexpr std::string_view kCommonHardening =
    "ProtectClock=yes\n"
    "ProtectHostname=yes\n"
    "RestrictNamespaces=yes\n"
    "RestrictRealtime=yes\n"
    "RestrictSUIDSGID=yes\n"
    "LockPersonality=yes\n"
    "MemoryDenyWriteExecute=yes\n"
    "RemoveIPC=yes\n"
    "KeyringMode=private\n"
    "UMask=0077\n"
    "SystemCallArchitectures=native\n"
    "SystemCallFilter=@system-service\n"
    "SystemCallFilter=~@resources @obsolete @mount @swap @reboot @raw-io @module @cpu-emulation "
    "@debug\n"
    "SystemCallErrorNumber=EPERM\n";

// The service: its data and key folders, its socket folder, and the tunnel's unit file. It
// runs as root and owns everything it touches; its one capability, CAP_NET_ADMIN, is for
// STOP, which takes away the rules that keep the tunnel's ranges refused while the tunnel is
// down (the tunnel leaves them in place when it ends, stopped or failed). It keeps sight of
// every process in /proc, since a caller's credentials may be read there.
constexpr std::string_view kServiceSettings =
    "Type=notify\n"
    "Restart=on-failure\n"
    "RestartSec=1\n"
    "StateDirectory=Velnaro velnaro-keys\n"
    "StateDirectoryMode=0700\n"
    "RuntimeDirectory=velnaro\n"
    "RuntimeDirectoryMode=0755\n"
    "ReadWritePaths=/etc/systemd/system\n"
    "CapabilityBoundingSet=CAP_NET_ADMIN\n"
    "PrivateDevices=yes\n"
    "RestrictAddressFamilies=AF_UNIX AF_NETLINK AF_INET AF_INET6\n"
    "IPAddressDeny=any\n";

// The tunnel: CAP_NET_ADMIN for the interface, the tun device, the WireGuard socket folder.
// It reads its sealed configuration and the sealing key and writes neither. Only the main
// process gets the stop signal, so the tunnel takes its daemon down itself. Its start may wait
// up to two minutes for the endpoint's name to resolve (the network coming up at boot), and
// only then brings the interface up.
constexpr std::string_view kTunnelSettings =
    "Type=notify\n"
    "TimeoutStartSec=180\n"
    "KillMode=mixed\n"
    "RuntimeDirectory=wireguard\n"
    "RuntimeDirectoryMode=0755\n"
    "RuntimeDirectoryPreserve=yes\n"
    "CapabilityBoundingSet=CAP_NET_ADMIN\n"
    "DevicePolicy=closed\n"
    "DeviceAllow=/dev/net/tun rw\n"
    "ProtectProc=invisible\n"
    "ProcSubset=pid\n"
    "RestrictAddressFamilies=AF_UNIX AF_NETLINK AF_INET AF_INET6\n";

constexpr std::string_view kOtherSettings =
    "Type=simple\n"
    "CapabilityBoundingSet=\n"
    "PrivateDevices=yes\n"
    "RestrictAddressFamilies=AF_UNIX\n";

// The Windows network services a registration may name are always there on Linux once the
// network is up.
bool is_network_dependency(std::string_view name) {
    return name == "Nsi" || name == "TcpIp";
}

}  // namespace

std::optional<std::string> unit_name_for(std::string_view service_name) {
    if (service_name.empty())
        return std::nullopt;
    std::string unit;
    for (char c : service_name) {
        if (c == '$')
            unit += '-';
        else if (is_unit_name_character(c))
            unit += c;
        else
            return std::nullopt;
    }
    return unit + ".service";
}

std::optional<std::string> render_unit_file(const ServiceRegistration& registration,
                                            std::string_view description) {
    if (!fits_one_line(registration.display_name) || !fits_one_line(description) ||
        !fits_one_line(registration.command_line) || registration.command_line.empty()) {
        return std::nullopt;
    }
    std::string after = "network.target";
    std::string requires_units;
    for (const auto& dependency : registration.dependencies) {
        if (is_network_dependency(dependency))
            continue;
        auto unit = unit_name_for(dependency);
        if (!unit)
            return std::nullopt;
        after += " " + *unit;
        requires_units += (requires_units.empty() ? "" : " ") + *unit;
    }

    std::string text =
        "# Rendered by vpn-service from its registration; local changes belong in a drop-in.\n";
    if (!description.empty())
        text += "# " + std::string(description) + "\n";
    text += "[Unit]\nDescription=" + registration.display_name + "\n";
    text += "After=" + after + "\n";
    if (!requires_units.empty())
        text += "Requires=" + requires_units + "\n";
    text += "\n[Service]\nExecStart=" + exec_start_of(registration.command_line) + "\n";
    const Role role = role_of(registration.command_line);
    switch (role) {
        case Role::service:
            text += kServiceSettings;
            break;
        case Role::tunnel:
            text += kTunnelSettings;
            break;
        case Role::other:
            text += kOtherSettings;
            break;
    }
    text += kSystemHardening;
    text += role == Role::tunnel ? kTunnelKernelHardening : kKernelHardening;
    text += kCommonHardening;
    if (registration.start_type == kServiceAutoStart)
        text += "\n[Install]\nWantedBy=multi-user.target\n";
    return text;
}

// Ordered as firewalls are: before network-pre.target, which it pulls in, without the default
// dependencies (which would put it after sysinit.target, long after interfaces come up); the
// record it reads lives under /var/lib, which may be a mount of its own. Its sandbox is the
// service's, without the private /tmp (the root may still be read-only) and with only
// netlink: it reads one file and talks to the kernel.
std::optional<std::string> render_ranges_unit_file(const ServiceRegistration& service) {
    constexpr std::string_view kService = " --service";
    if (role_of(service.command_line) != Role::service || !fits_one_line(service.command_line))
        return std::nullopt;
    const std::string_view command(service.command_line);
    const std::string_view executable = command.substr(0, command.size() - kService.size());
    std::string text =
        "# Rendered by vpn-service with the service's unit; removed with it.\n"
        "[Unit]\nDescription=Velnaro VPN: the tunnel's ranges held from early boot\n"
        "DefaultDependencies=no\n"
        "Wants=network-pre.target\n"
        "Before=network-pre.target shutdown.target\n"
        "After=systemd-journald.socket\n"
        "Conflicts=shutdown.target\n"
        "RequiresMountsFor=/var/lib/Velnaro\n"
        "\n[Service]\nType=oneshot\n";
    text += "ExecStart=" + exec_start_of(executable) + " --hold-ranges\n";
    text +=
        "CapabilityBoundingSet=CAP_NET_ADMIN\n"
        "PrivateDevices=yes\n"
        "RestrictAddressFamilies=AF_UNIX AF_NETLINK\n"
        "IPAddressDeny=any\n"
        "NoNewPrivileges=yes\n"
        "ProtectSystem=strict\n"
        "ProtectHome=yes\n";
    text += kKernelHardening;
    text += kCommonHardening;
    text += "\n[Install]\nWantedBy=sysinit.target\n";
    return text;
}

std::optional<std::uint32_t> service_state_of_unit(std::string_view active_state,
                                                   std::string_view sub_state) {
    struct Row {
        std::string_view active;
        std::uint32_t state;
    };
    // A restart that systemd has scheduled is a start on its way.
    if (sub_state == "auto-restart")
        return service_state::kStartPending;
    constexpr std::array kRows{
        Row{"active", service_state::kRunning},
        Row{"reloading", service_state::kRunning},
        Row{"refreshing", service_state::kRunning},
        Row{"activating", service_state::kStartPending},
        Row{"deactivating", service_state::kStopPending},
        Row{"inactive", service_state::kStopped},
        Row{"failed", service_state::kStopped},
    };
    for (const auto& row : kRows) {
        if (row.active == active_state)
            return row.state;
    }
    return std::nullopt;
}

ServiceStatus service_status_of_unit(std::uint32_t state, std::string_view active_state,
                                     std::string_view result, int exec_main_status) {
    ServiceStatus status{state, 0, 0};
    if (active_state != "failed")
        return status;
    if (result == "exit-code" && exec_main_status > 0) {
        status.win32_exit_code = kErrorServiceSpecificError;
        status.service_specific_exit_code = static_cast<std::uint32_t>(exec_main_status);
    } else {
        status.win32_exit_code = kErrorProcessAborted;  // a signal, a timeout, a resource
    }
    return status;
}

}  // namespace velnaro::platform
