#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tunnel_config/tunnel_config.hpp"
#include "unit/sample_config.hpp"

namespace velnaro {
namespace {

TEST(PrivateIpv4Cidr, AcceptsNetworksInsideThePrivateBlocks) {
    for (const char* text :
         {"10.0.0.1/32", "10.1.2.3/8", "10.0.0.1/032", "10.0.0.1/+32", "10.0.0.1/+8",
          "10.0.0.1/0000000000024", "172.16.0.1/32", "172.31.255.255/32", "172.20.1.2/12",
          "192.168.0.0/16", "192.168.255.255/24", "10.255.255.255/8"}) {
        EXPECT_TRUE(is_private_ipv4_cidr(text)) << text;
    }
}

TEST(PrivateIpv4Cidr, RefusesPublicRangesAndMalformedText) {
    for (const char* text :
         {// prefix
          "10.0.0.1", "10.0.0.1/", "10.0.0.1/33", "10.0.0.1/-1", "10.0.0.1/+", "10.0.0.1/256",
          "10.0.0.1/++1", "10.0.0.1/ 8", "10.0.0.1/8 ", "10.0.0.1/8/8", "10.0.0.1/0x8",
          "10.0.0.1/1000000000000000000032",
          // address
          "010.0.0.1/8", "10.0.0.01/8", "10.0.0.00/8", "10.0.0/8", "10.0.0.1.1/8", "10.0.0.256/8",
          "10.0.0.1000/8", "10..0.1/8", ".10.0.0/8", "10.0.0./8", " 10.0.0.1/8", "10.0.0.-1/8",
          "10.0.0.+1/8", "/8", "",
          // range
          "172.15.0.1/32", "172.32.0.1/32", "192.169.0.1/24", "100.64.0.1/32", "11.0.0.1/8",
          "0.0.0.0/0", "::/0", "fd00::1/64", "193.168.0.1/16",
          // a private address whose network reaches outside its block
          "10.0.0.0/0", "10.0.0.0/1", "10.1.2.3/7", "10.0.0.1/+0", "172.16.0.0/1", "172.16.0.0/11",
          "192.168.0.0/15", "192.168.1.1/08"}) {
        EXPECT_FALSE(is_private_ipv4_cidr(text)) << '"' << text << '"';
    }
}

struct Row {
    const char* name;
    std::function<void(TunnelConfig&)> change;
    std::optional<DetailCode> expected;
};

TEST(ValidateTunnelConfig, ReportsTheFirstFailingCheck) {
    using enum DetailCode;
    const std::vector<Row> rows = {
        {"sample", [](TunnelConfig&) {}, std::nullopt},
        {"version 0", [](auto& c) { c.config_version = 0; }, CONFIG_VERSION_INVALID},
        {"version 0 and bad address",
         [](auto& c) {
             c.config_version = 0;
             c.address = "8.8.8.8/32";
         },
         CONFIG_VERSION_INVALID},
        {"public address", [](auto& c) { c.address = "100.64.0.1/32"; }, ADDRESS_INVALID},
        {"address without prefix", [](auto& c) { c.address = "10.0.0.1"; }, ADDRESS_INVALID},
        {"bad address before bad key",
         [](auto& c) {
             c.address = "";
             c.gateway_public_key = "";
         },
         ADDRESS_INVALID},
        {"key of 44 '='", [](auto& c) { c.gateway_public_key = std::string(44, '='); },
         std::nullopt},
        {"key of 43", [](auto& c) { c.gateway_public_key.pop_back(); }, GATEWAY_PUBLIC_KEY_INVALID},
        {"key of 45", [](auto& c) { c.gateway_public_key += "A"; }, GATEWAY_PUBLIC_KEY_INVALID},
        {"key with space", [](auto& c) { c.gateway_public_key[3] = ' '; },
         GATEWAY_PUBLIC_KEY_INVALID},
        {"key with dash", [](auto& c) { c.gateway_public_key[3] = '-'; },
         GATEWAY_PUBLIC_KEY_INVALID},
        {"key with NUL", [](auto& c) { c.gateway_public_key[3] = '\0'; },
         GATEWAY_PUBLIC_KEY_INVALID},
        {"host of 253", [](auto& c) { c.endpoint_host = std::string(253, 'h'); }, std::nullopt},
        {"host of 254", [](auto& c) { c.endpoint_host = std::string(254, 'h'); }, ENDPOINT_INVALID},
        {"host address and odd labels", [](auto& c) { c.endpoint_host = "-a..b-.203.0.113.7"; },
         std::nullopt},
        {"empty host", [](auto& c) { c.endpoint_host = ""; }, ENDPOINT_INVALID},
        {"leading dot", [](auto& c) { c.endpoint_host = ".gw"; }, ENDPOINT_INVALID},
        {"trailing dot", [](auto& c) { c.endpoint_host = "gw."; }, ENDPOINT_INVALID},
        {"underscore", [](auto& c) { c.endpoint_host = "g_w"; }, ENDPOINT_INVALID},
        {"non-ASCII letter", [](auto& c) { c.endpoint_host = "g\xc3\xa9w"; }, ENDPOINT_INVALID},
        {"host with NUL", [](auto& c) { c.endpoint_host = std::string("gw\0x", 4); },
         ENDPOINT_INVALID},
        {"port 0", [](auto& c) { c.endpoint_port = 0; }, ENDPOINT_INVALID},
        {"port 65535", [](auto& c) { c.endpoint_port = 65535; }, std::nullopt},
        {"no networks", [](auto& c) { c.allowed_ips.clear(); }, ALLOWED_IPS_INVALID},
        {"no networks and bad keepalive",
         [](auto& c) {
             c.allowed_ips.clear();
             c.persistent_keepalive = 0;
         },
         ALLOWED_IPS_INVALID},
        {"16 networks", [](auto& c) { c.allowed_ips.assign(16, "10.0.0.0/8"); }, std::nullopt},
        {"17 networks", [](auto& c) { c.allowed_ips.assign(17, "10.0.0.0/8"); },
         ALLOWED_IPS_INVALID},
        {"default route second",
         [](auto& c) {
             c.allowed_ips = {"10.0.0.0/8", "0.0.0.0/0"};
         },
         ALLOWED_IPS_INVALID},
        {"IPv6 only", [](auto& c) { c.allowed_ips = {"::/0"}; }, ALLOWED_IPS_INVALID},
        {"two halves of the Internet",
         [](auto& c) {
             c.allowed_ips = {"10.0.0.0/1", "172.16.0.0/1"};
         },
         ALLOWED_IPS_INVALID},
        {"address wider than its block", [](auto& c) { c.address = "10.0.0.0/0"; },
         ADDRESS_INVALID},
        {"public network last",
         [](auto& c) {
             c.allowed_ips = {"10.0.0.0/8", "172.16.0.0/12", "8.8.8.0/24"};
         },
         ALLOWED_IPS_INVALID},
        {"keepalive 4", [](auto& c) { c.persistent_keepalive = 4; }, KEEPALIVE_INVALID},
        {"keepalive 5", [](auto& c) { c.persistent_keepalive = 5; }, std::nullopt},
        {"keepalive 300", [](auto& c) { c.persistent_keepalive = 300; }, std::nullopt},
        {"keepalive 301", [](auto& c) { c.persistent_keepalive = 301; }, KEEPALIVE_INVALID},
    };
    for (const Row& row : rows) {
        TunnelConfig config = accepted_tunnel_config();
        row.change(config);
        const Outcome<void> result = validate_tunnel_config(config);
        if (row.expected) {
            ASSERT_FALSE(result) << row.name;
            EXPECT_EQ(result.error(), *row.expected) << row.name;
        } else {
            EXPECT_TRUE(result) << row.name << ": " << to_text(result.error());
        }
    }
}

}  // namespace
}  // namespace velnaro
