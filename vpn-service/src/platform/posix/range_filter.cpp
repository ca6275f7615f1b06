#include "platform/posix/range_filter.hpp"

#include <nftables/libnftables.h>

#include <cerrno>
#include <memory>

namespace velnaro::platform {
namespace {

struct ContextFree {
    void operator()(nft_ctx* context) const { nft_ctx_free(context); }
};

// Runs `commands` as one transaction: all of it or nothing.
int run_nft(const std::string& commands, std::string& message) {
    std::unique_ptr<nft_ctx, ContextFree> context(nft_ctx_new(NFT_CTX_DEFAULT));
    if (!context)
        return ENOMEM;
    nft_ctx_buffer_output(context.get());
    nft_ctx_buffer_error(context.get());
    errno = 0;
    const int result = nft_run_cmd_from_buffer(context.get(), commands.c_str());
    const int error = errno;
    if (result == 0)
        return 0;
    const char* words = nft_ctx_get_error_buffer(context.get());
    message = words != nullptr ? words : "";
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    // libnftables keeps no error number of its own; the last failed call's is the cause.
    return error != 0 ? error : EPROTO;
}

std::string element_list(const std::vector<std::string>& ranges) {
    std::string list;
    for (const auto& range : ranges)
        list += (list.empty() ? "" : ", ") + range;
    return list;
}

// The address without its prefix length ("10.250.77.2/32" -> "10.250.77.2").
std::string bare_address(const std::string& address) {
    return address.substr(0, address.find('/'));
}

// Adding before deleting makes the delete succeed when there was no table; in one
// transaction with the new table, no packet sees the ruleset between the two.
const std::string kClearTable =
    std::string("add table ") + kFilterTable + "\ndelete table " + kFilterTable + "\n";

}  // namespace

std::string range_filter_text(const GuardedTunnel& tunnel) {
    const std::string priority = std::to_string(kFilterPriority);
    const std::string interface = "\"" + tunnel.interface_name + "\"";
    const std::string ranges = "{ " + element_list(tunnel.ranges) + " }";
    std::string text = std::string("table ") + kFilterTable + " {\n";
    text += "  chain output {\n    type filter hook output priority " + priority +
            "; policy accept;\n";
    text += "    meta mark " + std::to_string(tunnel.mark) + " accept\n";
    text += "    oifname " + interface + " accept\n";
    if (!tunnel.ranges.empty())
        text += "    ip daddr " + ranges + " reject with icmpx type admin-prohibited\n";
    text += "  }\n";
    text += "  chain prerouting {\n    type filter hook prerouting priority " + priority +
            "; policy accept;\n";
    text += "    iifname { " + interface + ", \"lo\" } accept\n";
    if (!tunnel.ranges.empty())
        text += "    ip saddr " + ranges + " drop\n";
    if (!tunnel.address.empty())
        text += "    ip daddr " + bare_address(tunnel.address) + " drop\n";
    text += "  }\n}\n";
    return text;
}

int set_range_filter(const GuardedTunnel& tunnel, std::string& message) {
    return run_nft(kClearTable + range_filter_text(tunnel), message);
}

int remove_range_filter(std::string& message) {
    return run_nft(kClearTable, message);
}

}  // namespace velnaro::platform
