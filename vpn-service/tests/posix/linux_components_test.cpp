#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "configuration_block.hpp"
#include "core/base64.hpp"
#include "core/detail_code.hpp"
#include "core/file_time.hpp"
#include "keys.hpp"
#include "platform/native.hpp"
#include "process.hpp"
#include "protected_storage/sealed_blob.hpp"
#include "tunnel_text.hpp"
#include "uapi_text.hpp"
#include "wireguard/component_abi.hpp"

namespace velnaro::wglinux {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// ---------------------------------------------------------------------------------------
// The WireGuard text

const std::string kKeyA = "YAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk=";
const std::string kKeyB = "HIgo9xNzJMWLKASShiTqIybxZ0U3wGLiUeJ1PKf8ykw=";

std::string sample_text(const std::string& address = "10.250.10.21/32",
                        const std::string& allowed = "10.250.0.0/16") {
    return "[Interface]\nPrivateKey = " + kKeyA + "\nAddress = " + address +
           "\n\n[Peer]\nPublicKey = " + kKeyB +
           "\nEndpoint = vpn.example.test:51820\nAllowedIPs = " + allowed +
           "\nPersistentKeepalive = 25\n";
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
}

TEST(TunnelText, ReadsTheNineLinesTheServiceWrites) {
    const auto settings = parse_tunnel_text(sample_text());
    ASSERT_TRUE(settings);
    const auto private_key = decode_base64_canonical(kKeyA);
    const auto public_key = decode_base64_canonical(kKeyB);
    EXPECT_TRUE(std::equal(private_key->begin(), private_key->end(), settings->private_key.data()));
    EXPECT_TRUE(
        std::equal(public_key->begin(), public_key->end(), settings->peer_public_key.begin()));
    EXPECT_EQ(settings->address.text(), "10.250.10.21/32");
    EXPECT_EQ(settings->endpoint_host, "vpn.example.test");
    EXPECT_EQ(settings->endpoint_port, 51820);
    ASSERT_EQ(settings->allowed_networks.size(), 1u);
    EXPECT_EQ(settings->allowed_networks[0].network_text(), "10.250.0.0/16");
    EXPECT_EQ(settings->persistent_keepalive, 25);
}

TEST(TunnelText, ReadsPrefixFormsTheValidationAccepts) {
    const auto settings =
        parse_tunnel_text(sample_text("10.1.2.3/+08", "10.1.0.0/16, 172.16.5.9/012"));
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->address.text(), "10.1.2.3/8");
    ASSERT_EQ(settings->allowed_networks.size(), 2u);
    EXPECT_EQ(settings->allowed_networks[1].network_text(), "172.16.0.0/12");
    EXPECT_EQ(settings->allowed_networks[1].text(), "172.16.5.9/12");
}

TEST(TunnelText, RefusesAnythingButTheExactLayout) {
    const std::string good = sample_text();
    const std::string sixteen = [] {
        std::string list = "10.0.0.0/8";
        for (int i = 1; i < 16; ++i)
            list += ", 10." + std::to_string(i) + ".0.0/16";
        return list;
    }();
    ASSERT_TRUE(parse_tunnel_text(sample_text("10.250.10.21/32", sixteen)));

    const std::vector<std::pair<const char*, std::string>> cases = {
        {"empty", ""},
        {"no final line feed", good.substr(0, good.size() - 1)},
        {"tenth line", good + "\n"},
        {"carriage returns", replaced(good, "[Interface]\n", "[Interface]\r\n")},
        {"section renamed", replaced(good, "[Peer]", "[peer]")},
        {"fourth line not empty", replaced(good, "\n\n", "\n \n")},
        {"spacing around =", replaced(good, "PrivateKey = ", "PrivateKey= ")},
        {"key not canonical", replaced(good, kKeyA, kKeyA.substr(0, 42) + "n=")},
        {"key too short", replaced(good, kKeyB, kKeyB.substr(1))},
        {"key of 44 =", replaced(good, kKeyB, std::string(44, '='))},
        {"address without prefix", replaced(good, "10.250.10.21/32", "10.250.10.21")},
        {"prefix 33", replaced(good, "10.250.10.21/32", "10.250.10.21/33")},
        {"lone plus", replaced(good, "10.250.10.21/32", "10.250.10.21/+")},
        {"leading zero in part", replaced(good, "10.250.10.21/32", "10.250.010.21/32")},
        {"five parts", replaced(good, "10.250.10.21/32", "10.250.10.21.1/32")},
        {"part above 255", replaced(good, "10.250.10.21/32", "10.256.10.21/32")},
        {"endpoint without port", replaced(good, ":51820", "")},
        {"port 0", replaced(good, ":51820", ":0")},
        {"port 65536", replaced(good, ":51820", ":65536")},
        {"port with leading zero", replaced(good, ":51820", ":051820")},
        {"host with underscore", replaced(good, "vpn.example", "vpn_example")},
        {"host ending in dot", replaced(good, "example.test:", "example.test.:")},
        {"comma without space", sample_text("10.250.10.21/32", "10.1.0.0/16,10.2.0.0/16")},
        {"empty allowed list", sample_text("10.250.10.21/32", "")},
        {"seventeen networks", sample_text("10.250.10.21/32", sixteen + ", 10.99.0.0/16")},
        {"ipv6 network", sample_text("10.250.10.21/32", "::/0")},
        {"keepalive text", replaced(good, "= 25", "= x")},
        {"keepalive leading zero", replaced(good, "= 25", "= 025")},
    };
    for (const auto& [name, text] : cases) {
        EXPECT_FALSE(parse_tunnel_text(text)) << name;
    }
}

TEST(TunnelText, PrefixWithManyLeadingZerosNeitherOverflowsNorFails) {
    EXPECT_EQ(parse_ipv4_cidr("10.0.0.1/" + std::string(300, '0') + "24")->prefix, 24);
    EXPECT_FALSE(parse_ipv4_cidr("10.0.0.1/" + std::string(30, '9')));
}

TEST(InterfaceName, OnlyNamesThatStayInsideTheSocketDirectory) {
    EXPECT_TRUE(is_valid_interface_name("VelnaroTunnel"));
    EXPECT_TRUE(is_valid_interface_name("wg-0.test_x=+"));
    for (const char* name : {"", ".", "..", "../etc/passwd", "a/b", "sixteen-chars-xx", "a b"}) {
        EXPECT_FALSE(is_valid_interface_name(name)) << name;
    }
}

// ---------------------------------------------------------------------------------------
// The UAPI answer

const std::string kHex1 = "e84b5a6d2717c1003a13b431570353dbaca9146cf150c5f8575680feba52027a";
const std::string kHex2 = "b85996fecc9c7f1fc6d2572a76eda11d59bcd20be8e543b15ce4bd85a8e75a33";

std::string sample_answer() {
    return "private_key=" + kHex1 +
           "\nlisten_port=51820\nfwmark=0\n"
           "public_key=" +
           kHex2 +
           "\npreshared_key=0000000000000000000000000000000000000000000000000000000000000000\n"
           "protocol_version=1\nendpoint=192.168.4.1:51821\n"
           "last_handshake_time_sec=1655526400\nlast_handshake_time_nsec=123456789\n"
           "tx_bytes=1000\nrx_bytes=18446744073709551615\npersistent_keepalive_interval=25\n"
           "allowed_ip=10.250.0.0/16\nallowed_ip=fd00::/64\n"
           "public_key=" +
           kHex1 +
           "\nendpoint=[fe80::1%3]:7\n"
           "some_future_key=whatever\n"
           "errno=0\n\n";
}

TEST(UapiAnswer, ReadsInterfaceAndPeers) {
    const auto device = parse_uapi_get_response(sample_answer());
    ASSERT_TRUE(device);
    EXPECT_TRUE(device->has_private_key);
    EXPECT_EQ(device->private_key.data()[0], 0xe8);
    EXPECT_EQ(device->listen_port, 51820);
    ASSERT_EQ(device->peers.size(), 2u);
    const UapiPeer& first = device->peers[0];
    EXPECT_EQ(first.public_key[0], 0xb8);
    EXPECT_EQ(first.tx_bytes, 1000u);
    EXPECT_EQ(first.rx_bytes, UINT64_MAX);
    EXPECT_EQ(first.last_handshake_sec, 1655526400);
    EXPECT_EQ(first.persistent_keepalive, 25);
    ASSERT_TRUE(first.endpoint);
    EXPECT_EQ(first.endpoint->port, 51821);
    EXPECT_EQ(first.endpoint->address[0], 192);
    ASSERT_EQ(first.allowed_ips.size(), 2u);
    EXPECT_EQ(first.allowed_ips[1].family, AddressFamily::ipv6);
    EXPECT_EQ(first.allowed_ips[1].cidr, 64);
    const UapiPeer& second = device->peers[1];
    ASSERT_TRUE(second.endpoint);
    EXPECT_EQ(second.endpoint->family, AddressFamily::ipv6);
    EXPECT_EQ(second.endpoint->scope_id, 3u);
    EXPECT_EQ(second.endpoint->port, 7);
    EXPECT_TRUE(second.allowed_ips.empty());
}

TEST(UapiAnswer, RefusesBrokenOrFailedAnswers) {
    const std::string good = sample_answer();
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"empty", ""},
        {"daemon error", "errno=1\n\n"},
        {"cut before errno", good.substr(0, good.find("errno"))},
        {"no closing empty line", good.substr(0, good.size() - 1)},
        {"data after the end", good + "x"},
        {"line without =", replaced(good, "fwmark=0", "fwmark")},
        {"empty key", replaced(good, "fwmark=0", "=0")},
        {"short key", replaced(good, kHex1 + "\nlisten", kHex1.substr(2) + "\nlisten")},
        {"hex not hex", replaced(good, "public_key=b8", "public_key=zz")},
        {"port too big", replaced(good, "listen_port=51820", "listen_port=65536")},
        {"counter overflow", replaced(good, "18446744073709551615", "18446744073709551616")},
        {"negative counter", replaced(good, "tx_bytes=1000", "tx_bytes=-1")},
        {"endpoint without port", replaced(good, "192.168.4.1:51821", "192.168.4.1")},
        {"ipv6 endpoint unbracketed", replaced(good, "[fe80::1%3]:7", "fe80::1:7")},
        {"ipv4 prefix 33", replaced(good, "10.250.0.0/16", "10.250.0.0/33")},
        {"ipv6 prefix 129", replaced(good, "fd00::/64", "fd00::/129")},
        {"allowed ip without prefix", replaced(good, "10.250.0.0/16", "10.250.0.0")},
    };
    for (const auto& [name, text] : cases) {
        EXPECT_FALSE(parse_uapi_get_response(text)) << name;
    }
}

TEST(UapiAnswer, ErrnoOfASetAnswer) {
    EXPECT_EQ(parse_uapi_errno("errno=0\n\n"), 0u);
    EXPECT_EQ(parse_uapi_errno("errno=22\n\n"), 22u);
    for (const char* text : {"", "errno=\n\n", "errno=0\n", "errno=x\n\n", "errno=0"}) {
        EXPECT_FALSE(parse_uapi_errno(text)) << text;
    }
}

TEST(UapiRequest, SetsKeyPeerAndMaskedNetworks) {
    const auto settings =
        parse_tunnel_text(sample_text("10.250.10.21/32", "10.250.3.4/16, 192.168.1.1/24"));
    ASSERT_TRUE(settings);
    const SecretBuffer request = build_uapi_set_request(*settings, 0xC0A80401, 8278);
    EXPECT_EQ(as_text(request),
              "set=1\nprivate_key="
              "6009f3e5317e9575c9b5ed78b638b7ce530dabe85ddab614220241801ddf0669"
              "\nlisten_port=0\nfwmark=8278\nreplace_peers=true\n"
              "public_key=1c8828f7137324c58b2804928624ea2326f1674537c062e251e2753ca7fcca4c"
              "\nendpoint=192.168.4.1:51820\npersistent_keepalive_interval=25\n"
              "replace_allowed_ips=true\nallowed_ip=10.250.0.0/16\n"
              "allowed_ip=192.168.1.0/24\n\n");
}

// ---------------------------------------------------------------------------------------
// The configuration block

std::uint64_t read_u64(const SecretBuffer& block, std::size_t offset) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = value << 8 | block[offset + i];
    return value;
}

std::uint32_t read_u32(const SecretBuffer& block, std::size_t offset) {
    return static_cast<std::uint32_t>(read_u64(block, offset) & 0xFFFFFFFF);
}

TEST(ConfigurationBlock, LaysOutRecordsWhereTheServiceReadsThem) {
    const auto device = parse_uapi_get_response(sample_answer());
    ASSERT_TRUE(device);
    const auto block = build_configuration_block(*device);
    ASSERT_TRUE(block);
    // One interface, a peer with two networks, a peer with none.
    ASSERT_EQ(block->size(), 80u + 136 + 2 * 24 + 136);
    EXPECT_EQ(read_u32(*block, kInterfacePeerCountOffset), 2u);
    EXPECT_EQ(block->at(kInterfacePrivateKeyOffset), 0xe8);
    EXPECT_EQ(read_u32(*block, 0), 7u);  // public key, private key, listen port
    SecretArray<32> public_key;
    ASSERT_TRUE(derive_public_key(device->private_key.span(), public_key.span()));
    EXPECT_TRUE(std::equal(public_key.data(), public_key.data() + 32,
                           block->begin() + kInterfacePublicKeyOffset));

    const std::size_t peer = 80;
    EXPECT_EQ(block->at(peer + kPeerPublicKeyOffset), 0xb8);
    EXPECT_EQ(read_u64(*block, peer + kPeerTxOffset), 1000u);
    EXPECT_EQ(read_u64(*block, peer + kPeerRxOffset), UINT64_MAX);
    EXPECT_EQ(read_u64(*block, peer + kPeerHandshakeOffset), 133000000000000000ULL + 1234567);
    EXPECT_EQ(read_u32(*block, peer + kPeerAllowedCountOffset), 2u);
    EXPECT_EQ(read_u32(*block, peer + 76) & 0xFFFF, kWindowsAfInet);
    EXPECT_EQ(block->at(peer + 78), 51821 >> 8);  // port in network order
    EXPECT_EQ(block->at(peer + 80), 192);
    const std::size_t second_network = peer + 136 + 24;
    EXPECT_EQ(read_u32(*block, second_network + 16) & 0xFFFF, kWindowsAfInet6);
    EXPECT_EQ(block->at(second_network + 18), 64);
    const std::size_t second_peer = peer + 136 + 48;
    EXPECT_EQ(read_u64(*block, second_peer + kPeerHandshakeOffset), 0u);
    EXPECT_EQ(read_u32(*block, second_peer + kPeerAllowedCountOffset), 0u);
    EXPECT_EQ(read_u32(*block, second_peer + 76) & 0xFFFF, kWindowsAfInet6);
}

TEST(ConfigurationBlock, NoPeersIsTheBareInterfaceRecord) {
    const auto device = parse_uapi_get_response("listen_port=1\nerrno=0\n\n");
    ASSERT_TRUE(device);
    const auto block = build_configuration_block(*device);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->size(), 80u);
    EXPECT_EQ(read_u32(*block, kInterfacePeerCountOffset), 0u);
    EXPECT_EQ(read_u32(*block, 0), 4u);  // no key without a private key
}

TEST(ConfigurationBlock, HandshakeTimeConversion) {
    struct Case {
        std::int64_t seconds, nanoseconds;
        std::uint64_t expected;
    };
    const Case cases[] = {
        {0, 0, 0},  // never
        {0, 100, kUnixEpochAsFileTime + 1},
        {1655526400, 0, 133000000000000000ULL},
        {1655526400, 999, 133000000000000009ULL},
        {-1, 0, 0},
        {INT64_MAX, 0, UINT64_MAX},  // saturates rather than wrapping into the past
    };
    for (const Case& c : cases) {
        EXPECT_EQ(to_windows_file_time(c.seconds, c.nanoseconds), c.expected) << c.seconds;
    }
}

// ---------------------------------------------------------------------------------------
// The built components, loaded as the service loads them

std::string component_path(const char* file) {
    const char* build = std::getenv("VELNARO_BUILD_DIR");
    return std::string(build ? build : ".") + "/vpn/" + file;
}

class Library {
  public:
    explicit Library(const std::string& path) : handle_(::dlopen(path.c_str(), RTLD_NOW)) {}
    ~Library() {
        if (handle_)
            ::dlclose(handle_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    explicit operator bool() const { return handle_ != nullptr; }
    template <class Fn>
    Fn get(const char* name) const {
        return reinterpret_cast<Fn>(::dlsym(handle_, name));
    }

  private:
    void* handle_;
};

TEST(Components, ExportTheEntryPointsOfTheirLibrary) {
    Library tunnel(component_path("tunnel.so"));
    Library wireguard(component_path("wireguard.so"));
    ASSERT_TRUE(tunnel) << ::dlerror();
    ASSERT_TRUE(wireguard) << ::dlerror();
    EXPECT_TRUE(tunnel.get<void*>("WireGuardGenerateKeypair"));
    EXPECT_TRUE(tunnel.get<void*>("WireGuardTunnelService"));
    for (const char* name : {"WireGuardOpenAdapter", "WireGuardCloseAdapter",
                             "WireGuardGetAdapterState", "WireGuardGetConfiguration",
                             "WireGuardSetConfiguration"}) {
        EXPECT_TRUE(wireguard.get<void*>(name)) << name;
    }
    // The project's own code linked inside stays private to each component.
    EXPECT_FALSE(
        tunnel.get<void*>("_ZN7velnaro20encode_base64_secretESt4spanIKhLm18446744073709551615EE"));
    EXPECT_FALSE(wireguard.get<void*>("WireGuardTunnelService"));
}

TEST(KeyGeneration, DerivesTheKnownX25519PublicKey) {
    // RFC 7748, section 6.1, Alice's key pair.
    std::array<std::uint8_t, 32> private_key{};
    std::array<std::uint8_t, 32> public_key{};
    ASSERT_TRUE(decode_hex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a",
                           private_key));
    ASSERT_TRUE(derive_public_key(private_key, public_key));
    SecretBuffer hex;
    append_hex(hex, public_key);
    EXPECT_EQ(as_text(hex), "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
}

std::optional<std::string> wg_pubkey(const std::string& private_base64) {
    const std::string command = "printf '%s' '" + private_base64 + "' | wg pubkey 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return std::nullopt;
    char line[128] = {};
    const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
    if (::pclose(pipe) != 0 || !read)
        return std::nullopt;
    std::string text(line);
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

TEST(KeyGeneration, GeneratesClampedDistinctPairsThatWgAgreesWith) {
    Library tunnel(component_path("tunnel.so"));
    ASSERT_TRUE(tunnel) << ::dlerror();
    const auto generate = tunnel.get<WireGuardGenerateKeypairFn>("WireGuardGenerateKeypair");
    ASSERT_TRUE(generate);
    generate(nullptr, nullptr);  // refused without a crash

    std::array<std::uint8_t, 32> first_public{}, first_private{}, public_key{}, private_key{};
    generate(first_public.data(), first_private.data());
    generate(public_key.data(), private_key.data());
    ASSERT_NE(first_private, decltype(first_private){});
    EXPECT_NE(first_private, private_key);
    EXPECT_EQ(private_key[0] & 7, 0);
    EXPECT_EQ(private_key[31] & 0xC0, 0x40);
    std::array<std::uint8_t, 32> derived{};
    ASSERT_TRUE(derive_public_key(private_key, derived));
    EXPECT_EQ(derived, public_key);

    if (!find_executable({"/usr/bin/wg", "/usr/local/bin/wg"})) {
        GTEST_SKIP() << "wg (wireguard-tools) is not installed";
    }
    EXPECT_EQ(wg_pubkey(encode_base64(private_key)), encode_base64(public_key));
}

TEST(Adapter, AbsentOrUnsafeNamesGiveNoHandle) {
    Library wireguard(component_path("wireguard.so"));
    ASSERT_TRUE(wireguard) << ::dlerror();
    const auto open = wireguard.get<WireGuardOpenAdapterFn>("WireGuardOpenAdapter");
    const auto state = wireguard.get<WireGuardGetAdapterStateFn>("WireGuardGetAdapterState");
    const auto configuration =
        wireguard.get<WireGuardGetConfigurationFn>("WireGuardGetConfiguration");
    for (const char16_t* name : {u"", u"lo", u"../../tmp/x", u"NoSuchTunnel0"}) {
        EXPECT_EQ(open(name), nullptr);
    }
    EXPECT_EQ(open(nullptr), nullptr);
    std::uint32_t value = 7;
    EXPECT_EQ(state(nullptr, &value), 0u);
    EXPECT_EQ(configuration(nullptr, nullptr, &value), 0u);
    EXPECT_EQ(value, 7u);
}

TEST(TunnelServiceEntry, RefusesWhatItCannotOpenWithoutStartingAnything) {
    Library tunnel(component_path("tunnel.so"));
    ASSERT_TRUE(tunnel) << ::dlerror();
    const auto run = tunnel.get<WireGuardTunnelServiceFn>("WireGuardTunnelService");
    EXPECT_EQ(run(nullptr), 0u);
    EXPECT_EQ(run(u""), 0u);
    EXPECT_EQ(run(u"/nonexistent/VelnaroTunnel.conf.dpapi"), 0u);
    std::u16string unpaired = u"/tmp/x";
    unpaired.push_back(char16_t{0xD800});
    EXPECT_EQ(run(unpaired.c_str()), 0u);
}

// ---------------------------------------------------------------------------------------
// A real tunnel between two network namespaces joined by a veth pair

bool run(const std::vector<std::string>& argv) {
    return run_command(argv);
}

std::string ip_binary() {
    return find_executable({"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}).value_or("ip");
}

// Everything the test creates outside its own memory, removed whatever happens.
struct Namespaces {
    std::string suffix = std::to_string(::getpid() % 100000);
    std::string peer_ns = "vlc-peer-" + suffix;
    std::string tunnel_ns = "vlc-tun-" + suffix;
    std::string peer_if = "vlcwg" + suffix;
    std::optional<pid_t> peer_daemon;
    std::optional<pid_t> tunnel_child;
    fs::path directory;

    ~Namespaces() {
        if (tunnel_child)
            stop_process(*tunnel_child, 10s);
        if (peer_daemon)
            stop_process(*peer_daemon, 5s);
        run({ip_binary(), "netns", "del", peer_ns});
        run({ip_binary(), "netns", "del", tunnel_ns});
        if (!directory.empty())
            fs::remove_all(directory);
    }
};

std::string base64_key(const std::array<std::uint8_t, 32>& key) {
    return encode_base64(key);
}

// What the observer saw from inside the tunnel's namespaces.
struct Observation {
    std::uint32_t opened = 0;
    std::uint32_t state = 0;
    std::uint32_t peer_count = 0;
    std::uint64_t handshake = 0;
    std::uint64_t tx = 0;
    std::uint64_t rx = 0;
};

// Joins the namespaces of `tunnel_pid` (network and mount: the UAPI socket lives on a
// private /run/wireguard there), pings the peer through the tunnel and reads the adapter.
[[noreturn]] void observe(pid_t tunnel_pid, const std::string& netns, int out) {
    Observation seen;
    const int net = ::open(("/var/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    const int mnt =
        ::open(("/proc/" + std::to_string(tunnel_pid) + "/ns/mnt").c_str(), O_RDONLY | O_CLOEXEC);
    if (net < 0 || mnt < 0 || ::setns(net, CLONE_NEWNET) != 0 || ::setns(mnt, CLONE_NEWNS) != 0) {
        ::_exit(2);
    }
    Library wireguard(component_path("wireguard.so"));
    const auto open = wireguard.get<WireGuardOpenAdapterFn>("WireGuardOpenAdapter");
    const auto close = wireguard.get<WireGuardCloseAdapterFn>("WireGuardCloseAdapter");
    const auto state = wireguard.get<WireGuardGetAdapterStateFn>("WireGuardGetAdapterState");
    const auto configuration =
        wireguard.get<WireGuardGetConfigurationFn>("WireGuardGetConfiguration");
    if (!open)
        ::_exit(3);
    WireGuardAdapterHandle adapter = nullptr;
    for (int i = 0; i < 150 && !adapter; ++i) {
        adapter = open(u"VelnaroTunnel");
        if (!adapter)
            std::this_thread::sleep_for(100ms);
    }
    if (adapter) {
        seen.opened = 1;
        const auto ping = find_executable({"/usr/bin/ping", "/bin/ping"});
        if (ping)
            run({*ping, "-c", "3", "-i", "0.2", "-W", "2", "10.250.0.1"});
        for (int i = 0; i < 50 && seen.rx == 0; ++i) {
            std::uint32_t size = 0;
            configuration(adapter, nullptr, &size);
            SecretBuffer block((size + 7) / 8 * 8, 0);
            if (size >= 80 && configuration(adapter, block.data(), &size) == 1) {
                seen.peer_count = read_u32(block, kInterfacePeerCountOffset);
                if (seen.peer_count == 1 && size >= 80 + 136) {
                    seen.handshake = read_u64(block, 80 + kPeerHandshakeOffset);
                    seen.tx = read_u64(block, 80 + kPeerTxOffset);
                    seen.rx = read_u64(block, 80 + kPeerRxOffset);
                }
            }
            if (seen.rx == 0)
                std::this_thread::sleep_for(100ms);
        }
        state(adapter, &seen.state);
        close(adapter);
    }
    const bool written = ::write(out, &seen, sizeof seen) == static_cast<ssize_t>(sizeof seen);
    ::_exit(written ? 0 : 4);
}

// Runs the tunnel service in the tunnel namespace with a private /run/wireguard, so that a
// tunnel of the same name elsewhere on the machine is neither seen nor disturbed.
[[noreturn]] void serve_tunnel(const std::string& netns, const std::string& config) {
    const int net = ::open(("/var/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    if (net < 0 || ::setns(net, CLONE_NEWNET) != 0 || ::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/run/wireguard", "tmpfs", 0, "mode=0700") != 0) {
        ::_exit(2);
    }
    Library tunnel(component_path("tunnel.so"));
    const auto service = tunnel.get<WireGuardTunnelServiceFn>("WireGuardTunnelService");
    if (!service)
        ::_exit(3);
    const std::u16string path(config.begin(), config.end());
    ::_exit(service(path.c_str()) == 1 ? 0 : 1);
}

// The sealed file, exactly as the service stores it, in a fresh scratch directory; empty
// when sealing failed.
std::string seal_config(Namespaces& env, const std::array<std::uint8_t, 32>& own_private,
                        const std::array<std::uint8_t, 32>& peer_public,
                        std::string_view allowed = "10.250.0.0/16") {
    std::string pattern = (fs::temp_directory_path() / "velnaro-tunnel-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        return {};
    env.directory = pattern;
    const std::string text =
        "[Interface]\nPrivateKey = " + base64_key(own_private) +
        "\nAddress = 10.250.10.21/32\n\n[Peer]\nPublicKey = " + base64_key(peer_public) +
        "\nEndpoint = 192.168.247.1:51820\nAllowedIPs = " + std::string(allowed) +
        "\nPersistentKeepalive = 25\n";
    const std::string config = (env.directory / "VelnaroTunnel.conf.dpapi").string();
    platform::NativePlatform native;
    const auto blob = seal_secret(native.get(), as_bytes(text), kTunnelDescription);
    if (!blob)
        return {};
    std::ofstream(config, std::ios::binary)
        .write(reinterpret_cast<const char*>(blob->data()),
               static_cast<std::streamsize>(blob->size()));
    fs::create_directories("/run/wireguard");
    return config;
}

// A stored file from before a rule existed (a prefix wider than the private range) is refused
// before anything comes up, in a network of its own should that fail, and is kept.
TEST(TunnelServiceEntry, RefusesAStoredConfigurationThatBreaksTheRules) {
    Library tunnel(component_path("tunnel.so"));
    const auto run = tunnel.get<WireGuardTunnelServiceFn>("WireGuardTunnelService");
    Namespaces env;
    const std::string config = seal_config(env, {1}, {2}, "10.0.0.0/1");
    ASSERT_TRUE(run && !config.empty());
    const auto size = fs::file_size(config);
    const auto isolated_run = [&] {
        if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", "/run/wireguard", "tmpfs", 0, "mode=0700") != 0) {
            std::_Exit(2);
        }
        const std::u16string path(config.begin(), config.end());
        std::_Exit(run(path.c_str()) ? 0 : 1);
    };
    EXPECT_EXIT(isolated_run(), ::testing::ExitedWithCode(124), "TUNNEL_CONFIG_STORED_INVALID");
    EXPECT_EQ(fs::file_size(config), size);
}

bool interface_in(const std::string& netns, const std::string& name) {
    return run({ip_binary(), "-n", netns, "link", "show", "dev", name});
}

TEST(RealTunnel, HandshakesCarriesTrafficAndGoesAwayOnSigterm) {
    const auto daemon = find_executable({"/usr/bin/wireguard-go", "/usr/local/bin/wireguard-go"});
    const auto wg = find_executable({"/usr/bin/wg", "/usr/local/bin/wg"});
    if (::geteuid() != 0 || !daemon || !wg || ::access("/dev/net/tun", R_OK | W_OK) != 0) {
        GTEST_SKIP() << "needs root, /dev/net/tun, wireguard-go and wg";
    }
    Namespaces env;
    const std::string ip = ip_binary();
    ASSERT_TRUE(run({ip, "netns", "add", env.peer_ns}));
    ASSERT_TRUE(run({ip, "netns", "add", env.tunnel_ns}));
    const std::string veth_peer = "vlcp" + env.suffix;
    const std::string veth_tunnel = "vlct" + env.suffix;
    ASSERT_TRUE(run({ip, "-n", env.peer_ns, "link", "add", veth_peer, "type", "veth", "peer",
                     "name", veth_tunnel, "netns", env.tunnel_ns}));
    for (const auto& [ns, dev, address] :
         {std::tuple{env.peer_ns, veth_peer, "192.168.247.1/24"},
          std::tuple{env.tunnel_ns, veth_tunnel, "192.168.247.2/24"}}) {
        ASSERT_TRUE(run({ip, "-n", ns, "address", "add", address, "dev", dev}));
        ASSERT_TRUE(run({ip, "-n", ns, "link", "set", "dev", dev, "up"}));
        ASSERT_TRUE(run({ip, "-n", ns, "link", "set", "dev", "lo", "up"}));
    }

    std::array<std::uint8_t, 32> peer_public{}, peer_private{}, own_public{}, own_private{};
    ASSERT_TRUE(generate_x25519_keypair(peer_public, peer_private));
    ASSERT_TRUE(generate_x25519_keypair(own_public, own_private));
    const std::string config = seal_config(env, own_private, peer_public);
    ASSERT_FALSE(config.empty());
    const std::string key_file = (env.directory / "peer.key").string();
    std::ofstream(key_file) << base64_key(peer_private) << "\n";

    // The peer: wireguard-go configured with wg, as a gateway would be.
    env.peer_daemon = spawn_process(
        {ip, "netns", "exec", env.peer_ns, *daemon, "-f", env.peer_if},
        {"WG_PROCESS_FOREGROUND=1", "LOG_LEVEL=error", "PATH=/usr/sbin:/usr/bin:/sbin:/bin"});
    ASSERT_TRUE(env.peer_daemon);
    bool peer_ready = false;
    for (int i = 0; i < 100 && !peer_ready; ++i) {
        std::this_thread::sleep_for(100ms);
        peer_ready = fs::exists("/var/run/wireguard/" + env.peer_if + ".sock") &&
                     interface_in(env.peer_ns, env.peer_if);
    }
    ASSERT_TRUE(peer_ready);
    ASSERT_TRUE(run({ip, "netns", "exec", env.peer_ns, *wg, "set", env.peer_if, "listen-port",
                     "51820", "private-key", key_file, "peer", base64_key(own_public),
                     "allowed-ips", "10.250.10.21/32"}));
    ASSERT_TRUE(
        run({ip, "-n", env.peer_ns, "address", "add", "10.250.0.1/16", "dev", env.peer_if}));
    ASSERT_TRUE(run({ip, "-n", env.peer_ns, "link", "set", "dev", env.peer_if, "up"}));

    const pid_t tunnel_pid = ::fork();
    ASSERT_GE(tunnel_pid, 0);
    if (tunnel_pid == 0)
        serve_tunnel(env.tunnel_ns, config);
    env.tunnel_child = tunnel_pid;
    std::this_thread::sleep_for(200ms);  // lets the child enter its mount namespace

    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    const pid_t observer = ::fork();
    ASSERT_GE(observer, 0);
    if (observer == 0) {
        ::close(pipe_ends[0]);
        observe(tunnel_pid, env.tunnel_ns, pipe_ends[1]);
    }
    ::close(pipe_ends[1]);
    const auto observer_status = wait_process(observer, 60s);
    Observation seen;
    const bool got = ::read(pipe_ends[0], &seen, sizeof seen) == static_cast<ssize_t>(sizeof seen);
    ::close(pipe_ends[0]);
    if (!observer_status)
        stop_process(observer, 1s);
    ASSERT_EQ(observer_status, 0);
    ASSERT_TRUE(got);
    EXPECT_EQ(seen.opened, 1u);
    EXPECT_EQ(seen.state, 1u);
    EXPECT_EQ(seen.peer_count, 1u);
    EXPECT_GE(seen.handshake, kUnixEpochAsFileTime);
    EXPECT_GT(seen.tx, 0u);
    EXPECT_GT(seen.rx, 0u);
    ASSERT_TRUE(interface_in(env.tunnel_ns, "VelnaroTunnel"));

    ASSERT_EQ(::kill(tunnel_pid, SIGTERM), 0);
    const auto tunnel_status = wait_process(tunnel_pid, 20s);
    env.tunnel_child.reset();
    if (!tunnel_status)
        stop_process(tunnel_pid, 1s);
    EXPECT_EQ(tunnel_status, 0);  // the service reported a clean end
    EXPECT_FALSE(interface_in(env.tunnel_ns, "VelnaroTunnel"));
}

TEST(RealTunnel, LeavesAnotherInterfaceOfTheSameNameAloneAndReportsItsCode) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root for network namespaces";
    }
    Namespaces env;
    const std::string ip = ip_binary();
    ASSERT_TRUE(run({ip, "netns", "add", env.tunnel_ns}));
    ASSERT_TRUE(run({ip, "-n", env.tunnel_ns, "link", "add", "VelnaroTunnel", "type", "veth",
                     "peer", "name", "vlco" + env.suffix}));
    std::array<std::uint8_t, 32> peer_public{}, own_private{}, unused{};
    ASSERT_TRUE(generate_x25519_keypair(peer_public, unused));
    ASSERT_TRUE(generate_x25519_keypair(unused, own_private));
    const std::string config = seal_config(env, own_private, peer_public);
    ASSERT_FALSE(config.empty());

    const pid_t tunnel_pid = ::fork();
    ASSERT_GE(tunnel_pid, 0);
    if (tunnel_pid == 0)
        serve_tunnel(env.tunnel_ns, config);
    env.tunnel_child = tunnel_pid;
    const auto status = wait_process(tunnel_pid, 20s);
    if (status)
        env.tunnel_child.reset();
    // Nothing was brought up, and the process ended with the cause's stable number.
    EXPECT_EQ(status, static_cast<int>(stable_number(DetailCode::TUNNEL_INTERFACE_IN_USE)));
    EXPECT_TRUE(interface_in(env.tunnel_ns, "VelnaroTunnel"));
}

}  // namespace
}  // namespace velnaro::wglinux
