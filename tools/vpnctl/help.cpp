#include "help.hpp"

#include <array>
#include <string>

#include "platform/conventions.hpp"

namespace velnaro::vpnctl {

namespace {

struct Topic {
    std::string_view command;
    std::string_view synopsis;
    std::string_view summary;
    std::string_view details;
};

constexpr std::string_view kApplyDetails =
    "Reads a tunnel configuration from FILE, or from standard input for -, checks it and\n"
    "sends it to the service, which stores it sealed and (re)starts the tunnel with it.\n"
    "Nothing is sent when the file cannot be read, is not JSON, or breaks a rule below;\n"
    "vpnctl then names the fault (with line and column for broken JSON) and exits 2.\n"
    "\n"
    "The file is one JSON object with exactly these seven members, in any order:\n"
    "  configVersion        integer, 1 or more\n"
    "  address              string, the device's tunnel address: a private IPv4\n"
    "                       address with its prefix, e.g. \"10.250.10.21/32\"\n"
    "  gatewayPublicKey     string, the gateway's WireGuard public key (44 characters)\n"
    "  endpointHost         string, the gateway's host name or IPv4 address\n"
    "  endpointPort         integer, 1 to 65535\n"
    "  allowedIps           array of 1 to 16 strings, private IPv4 networks routed\n"
    "                       through the tunnel, e.g. [\"10.250.0.0/16\"]\n"
    "  persistentKeepalive  integer, 5 to 300 seconds\n"
    "Numbers are plain integers (25, not 25.0 or \"25\"); unknown or repeated members are\n"
    "refused. Private means inside 10.0.0.0/8, 172.16.0.0/12 or 192.168.0.0/16.\n"
    "\n"
    "  --json               print the service's answers as JSON\n"
    "  --wait STATE         once the configuration is accepted, wait for STATE as\n"
    "                       'status --wait' does (exit 0, 1 or 5 as there)\n"
    "  --timeout SECONDS    how long --wait waits (default 30)\n";

constexpr std::string_view kStatusDetails =
    "Shows the tunnel's state, the reason when there is one, the age of the last\n"
    "handshake and the data received and sent. States: UNAVAILABLE, DISCONNECTED,\n"
    "CONNECTING, CONNECTED, DEGRADED, ERROR. On Linux a last line names the tunnel's\n"
    "ranges that are refused while the tunnel is not up (until `vpnctl stop`).\n"
    "\n"
    "  --json               print the service's answer as JSON (with --wait the last\n"
    "                       one, with --watch one per change)\n"
    "  --wait STATE         ask once a second until the tunnel is in STATE (in any case:\n"
    "                       connected, CONNECTED); exit 0 when it is, 1 when --timeout\n"
    "                       passes first, 5 when the tunnel failed in a way that only\n"
    "                       the next apply, start, repair or stop clears (ERROR with,\n"
    "                       for example, TUNNEL_ENDPOINT_UNRESOLVED)\n"
    "  --timeout SECONDS    how long --wait waits (default 30)\n"
    "  --watch              print a line each time the state or reason changes, until\n"
    "                       interrupted (Ctrl-C)\n";

constexpr std::array<Topic, 10> kTopics{{
    {"status", "status [--json] [--wait STATE [--timeout SECONDS] | --watch]",
     "show the tunnel's state, last handshake and traffic", kStatusDetails},
    {"identity", "identity [--json]", "show the device's public key (created on first use)",
     "Shows the device's public key, its key version and the installation id. The key\n"
     "pair is created the first time it is asked for; the private key never leaves the\n"
     "service. Give the public key to the gateway.\n"},
    {"apply", "apply FILE|- [--json] [--wait STATE [--timeout SECONDS]]",
     "check a tunnel configuration and apply it", kApplyDetails},
    {"start", "start [--json]", "start the tunnel with the stored configuration",
     "Starts the tunnel with the configuration applied last.\n"},
    {"stop", "stop [--json]", "stop the tunnel",
     "Stops the tunnel. The configuration stays stored; 'start' brings it back.\n"},
    {"repair", "repair [--json]", "register and restart the tunnel from the stored configuration",
     "Registers the tunnel again and restarts it from the stored configuration, for a\n"
     "tunnel that was removed or damaged outside the service.\n"},
    {"rotate", "rotate prepare|commit|abort [--json]", "replace the device's key in two steps",
     "  prepare   create the next key pair and show its public key; the current key\n"
     "            stays in use. Register the new public key at the gateway.\n"
     "  commit    make the prepared key the device's key; apply the configuration\n"
     "            again so the tunnel uses it.\n"
     "  abort     drop the prepared key.\n"},
    {"version", "version [--json]", "show the service's version",
     "Asks the service for its version. 'vpnctl --version' shows vpnctl's own.\n"},
    {"raw", "raw JSON", "send one request body as it is and print the answer",
     "Sends JSON unchecked as one request and prints the answer as JSON. For testing the\n"
     "service's own checks; see the protocol description for the requests.\n"},
    {"help", "help [COMMAND]", "show this help, or one command's",
     "Without a command, lists every command. 'vpnctl COMMAND --help' does the same as\n"
     "'vpnctl help COMMAND'.\n"},
}};

std::string exit_statuses() {
    return "Exit status:\n"
           "  0  the service answered (for --wait: the state was reached)\n"
           "  1  the service answered with an error, there was no answer, or --wait timed out\n"
           "  2  usage or input error; nothing was sent\n"
           "  3  the server on the " +
           std::string(platform::kServicePipeKind) +
           " is not the service; nothing was sent\n"
           "  4  the service is not running\n"
           "  5  --wait: the tunnel failed and stays so until the next change\n";
}

const Topic* find_topic(std::string_view command) {
    for (const Topic& topic : kTopics) {
        if (topic.command == command)
            return &topic;
    }
    return nullptr;
}

}  // namespace

std::string overview_help() {
    std::string text =
        "usage: vpnctl COMMAND [OPTIONS]\n"
        "       vpnctl --help | --version\n"
        "\n"
        "Talks to the VPN service on this machine. Commands:\n";
    for (const Topic& topic : kTopics) {
        std::string line = "  " + std::string(topic.command);
        line.resize(12, ' ');
        text += line + std::string(topic.summary) + "\n";
    }
    text +=
        "\n"
        "Every command that asks the service takes --json to print its answer as JSON\n"
        "(also before the command: vpnctl --json status).\n"
        "'vpnctl help COMMAND' or 'vpnctl COMMAND --help' describes one command.\n"
        "\n";
    text += exit_statuses();
    return text;
}

bool has_help(std::string_view command) {
    return find_topic(command) != nullptr;
}

std::string command_help(std::string_view command) {
    const Topic* topic = find_topic(command);
    if (!topic)
        return overview_help();
    return "usage: vpnctl " + std::string(topic->synopsis) + "\n\n" + std::string(topic->details) +
           "\n" + exit_statuses();
}

}  // namespace velnaro::vpnctl
