// The filtering platform's calls for the range guard: the service's provider, its sublayer
// and its filters, all persistent, each described as range_filters.hpp says.
#include "platform/windows/wfp_engine.hpp"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <fwpmu.h>
#include <iphlpapi.h>

#include <cstring>

#include "platform/windows/wide.hpp"

namespace velnaro::platform {
namespace {

// mingw-w64's fwpmu.h leaves out these keys and flags; the values are fwpmu.h's.
constexpr GUID kLayerConnectV4 = {0xc38d57d1, 0x05a7, 0x4c33, {0x90, 0x4f, 0x7f, 0xbc, 0xee, 0xe6, 0x0e, 0x82}};
constexpr GUID kLayerRecvAcceptV4 = {0xe1cd9fe7, 0xf4b5, 0x4273, {0x96, 0xc0, 0x59, 0x2e, 0x48, 0x7b, 0x86, 0x50}};
constexpr GUID kConditionRemoteAddress = {0xb235ae9a, 0x1d64, 0x49b8, {0xa4, 0x4c, 0x5f, 0xf3, 0xd9, 0x09, 0x50, 0x45}};
constexpr GUID kConditionLocalAddress = {0xd9ee00de, 0xc1ef, 0x4617, {0xbf, 0xe3, 0xff, 0xd8, 0xf5, 0xa0, 0x89, 0x57}};
constexpr GUID kConditionRemotePort = {0xc35a604d, 0xd22b, 0x4e1a, {0x91, 0xb4, 0x68, 0xf6, 0x74, 0xee, 0x67, 0x4b}};
constexpr GUID kConditionProtocol = {0x3971ef2b, 0x623e, 0x4f9a, {0x8c, 0xb1, 0x6e, 0x79, 0xb8, 0x06, 0xb9, 0xa7}};
constexpr GUID kConditionLocalInterface = {0x4cd62a49, 0x59c3, 0x4969, {0xb7, 0xf3, 0xbd, 0xa5, 0xd3, 0x28, 0x90, 0xa4}};
constexpr UINT32 kProviderPersistent = 0x1;  // FWPM_PROVIDER_FLAG_PERSISTENT
constexpr UINT32 kSublayerPersistent = 0x1;  // FWPM_SUBLAYER_FLAG_PERSISTENT
constexpr UINT32 kFilterPersistent = 0x1;    // FWPM_FILTER_FLAG_PERSISTENT

// The service's own provider and sublayer: fixed, so that any later run (and an
// administrator) finds and removes exactly what the service added.
constexpr GUID kProviderKey = {0x732a1db1, 0xfa81, 0x4bbf, {0xa4, 0x4e, 0xba, 0x88, 0x4a, 0x73, 0x21, 0xa0}};
constexpr GUID kSublayerKey = {0xb5516a9c, 0xfa68, 0x4105, {0xa8, 0xf7, 0xe6, 0xc1, 0x7e, 0x9f, 0xc7, 0x23}};
// Above the weights Windows' own firewall sublayers commonly use; every sublayer gives its
// verdict anyway, and a block from ours stands against another's permit.
constexpr UINT16 kSublayerWeight = 0xF000;

wchar_t kProviderName[] = L"Velnaro VPN";
wchar_t kSublayerName[] = L"Velnaro VPN: the tunnel's ranges";

std::unexpected<OsError> failure(DWORD code, const char* operation) {
    return std::unexpected(OsError{code, operation, "Velnaro VPN filters"});
}

OsResult<void> checked(DWORD code, const char* operation, DWORD also_fine = ERROR_SUCCESS) {
    if (code == ERROR_SUCCESS || (also_fine != ERROR_SUCCESS && code == also_fine))
        return {};
    return failure(code, operation);
}

// The values one filter's conditions point at, kept alive until FwpmFilterAdd0 returns.
struct ConditionValues {
    FWP_V4_ADDR_AND_MASK remote{};
    FWP_V4_ADDR_AND_MASK local{};
    UINT64 luid = 0;
    FWPM_FILTER_CONDITION0 list[5]{};
    UINT32 count = 0;

    void add(const GUID& field, FWP_CONDITION_VALUE0 value) {
        list[count].fieldKey = field;
        list[count].matchType = FWP_MATCH_EQUAL;
        list[count].conditionValue = value;
        ++count;
    }
};

void describe(const FilterConditions& conditions, ConditionValues& values) {
    FWP_CONDITION_VALUE0 value{};
    if (conditions.remote) {
        values.remote = {conditions.remote->address, conditions.remote->mask};
        value.type = FWP_V4_ADDR_MASK;
        value.v4AddrMask = &values.remote;
        values.add(kConditionRemoteAddress, value);
    }
    if (conditions.local) {
        values.local = {conditions.local->address, conditions.local->mask};
        value.type = FWP_V4_ADDR_MASK;
        value.v4AddrMask = &values.local;
        values.add(kConditionLocalAddress, value);
    }
    if (conditions.remote_port) {
        value = {};
        value.type = FWP_UINT16;
        value.uint16 = *conditions.remote_port;
        values.add(kConditionRemotePort, value);
    }
    if (conditions.protocol) {
        value = {};
        value.type = FWP_UINT8;
        value.uint8 = *conditions.protocol;
        values.add(kConditionProtocol, value);
    }
    if (conditions.interface_luid) {
        values.luid = *conditions.interface_luid;
        value = {};
        value.type = FWP_UINT64;
        value.uint64 = &values.luid;
        values.add(kConditionLocalInterface, value);
    }
}

class WfpEngine final : public FilterEngine {
  public:
    ~WfpEngine() override {
        if (engine_ != nullptr)
            FwpmEngineClose0(engine_);
    }

    // Not dynamic: objects of a dynamic session go when it closes; these must stay.
    OsResult<void> open() override {
        if (engine_ != nullptr)
            return {};
        FWPM_SESSION0 session{};
        session.flags = 0;
        return checked(FwpmEngineOpen0(nullptr, RPC_C_AUTHN_DEFAULT, nullptr, &session, &engine_),
                       "FwpmEngineOpen0");
    }
    // A session lost with the engine's service (restarted since it was opened) is dropped,
    // so that the next operation opens a new one.
    OsResult<void> begin() override {
        auto begun = checked(FwpmTransactionBegin0(engine_, 0), "FwpmTransactionBegin0");
        if (!begun) {
            FwpmEngineClose0(engine_);
            engine_ = nullptr;
        }
        return begun;
    }
    OsResult<void> commit() override {
        return checked(FwpmTransactionCommit0(engine_), "FwpmTransactionCommit0");
    }
    void abort() override { FwpmTransactionAbort0(engine_); }

    OsResult<void> add_provider() override {
        FWPM_PROVIDER0 provider{};
        provider.providerKey = kProviderKey;
        provider.displayData.name = kProviderName;
        provider.flags = kProviderPersistent;
        return checked(FwpmProviderAdd0(engine_, &provider, nullptr), "FwpmProviderAdd0",
                       FWP_E_ALREADY_EXISTS);
    }
    OsResult<void> add_sublayer() override {
        FWPM_SUBLAYER0 sublayer{};
        sublayer.subLayerKey = kSublayerKey;
        sublayer.displayData.name = kSublayerName;
        sublayer.flags = kSublayerPersistent;
        GUID provider = kProviderKey;
        sublayer.providerKey = &provider;
        sublayer.weight = kSublayerWeight;
        return checked(FwpmSubLayerAdd0(engine_, &sublayer, nullptr), "FwpmSubLayerAdd0",
                       FWP_E_ALREADY_EXISTS);
    }

    OsResult<void> add_filter(const FilterPlan& plan, const std::string& record) override {
        auto name = to_wide(plan.name);
        if (!name)
            return failure(ERROR_INVALID_PARAMETER, "FwpmFilterAdd0");
        std::string data = record;
        ConditionValues values;
        describe(plan.conditions, values);
        GUID provider = kProviderKey;
        FWPM_FILTER0 filter{};
        filter.displayData.name = name->data();
        filter.flags = kFilterPersistent;
        filter.providerKey = &provider;
        filter.providerData.size = static_cast<UINT32>(data.size());
        filter.providerData.data = reinterpret_cast<UINT8*>(data.data());
        filter.layerKey = plan.layer == FilterLayer::outbound_connect ? kLayerConnectV4
                                                                      : kLayerRecvAcceptV4;
        filter.subLayerKey = kSublayerKey;
        filter.weight.type = FWP_UINT8;
        filter.weight.uint8 = plan.weight;
        filter.numFilterConditions = values.count;
        filter.filterCondition = values.list;
        filter.action.type = plan.action == FilterAction::permit ? FWP_ACTION_PERMIT
                                                                 : FWP_ACTION_BLOCK;
        return checked(FwpmFilterAdd0(engine_, &filter, nullptr, nullptr), "FwpmFilterAdd0");
    }

    OsResult<std::vector<HeldFilter>> provider_filters() override {
        std::vector<HeldFilter> held;
        for (const GUID& layer : {kLayerConnectV4, kLayerRecvAcceptV4}) {
            if (auto listed = list_layer(layer, held); !listed)
                return std::unexpected(listed.error());
        }
        return held;
    }

    OsResult<void> delete_filter(const FilterKey& key) override {
        GUID guid;
        std::memcpy(&guid, key.data(), sizeof guid);
        return checked(FwpmFilterDeleteByKey0(engine_, &guid), "FwpmFilterDeleteByKey0",
                       FWP_E_FILTER_NOT_FOUND);
    }
    OsResult<void> delete_sublayer() override {
        return checked(FwpmSubLayerDeleteByKey0(engine_, &kSublayerKey), "FwpmSubLayerDeleteByKey0",
                       FWP_E_SUBLAYER_NOT_FOUND);
    }
    OsResult<void> delete_provider() override {
        return checked(FwpmProviderDeleteByKey0(engine_, &kProviderKey), "FwpmProviderDeleteByKey0",
                       FWP_E_PROVIDER_NOT_FOUND);
    }

  private:
    OsResult<void> list_layer(const GUID& layer, std::vector<HeldFilter>& held) {
        GUID provider = kProviderKey;
        FWPM_FILTER_ENUM_TEMPLATE0 query{};
        query.providerKey = &provider;
        query.layerKey = layer;
        query.enumType = FWP_FILTER_ENUM_OVERLAPPING;
        query.actionMask = 0xFFFFFFFF;
        HANDLE handle = nullptr;
        if (auto created = checked(FwpmFilterCreateEnumHandle0(engine_, &query, &handle),
                                   "FwpmFilterCreateEnumHandle0");
            !created)
            return created;
        OsResult<void> result;
        for (;;) {
            FWPM_FILTER0** entries = nullptr;
            UINT32 count = 0;
            if (auto listed = checked(FwpmFilterEnum0(engine_, handle, 64, &entries, &count),
                                      "FwpmFilterEnum0");
                !listed) {
                result = listed;
                break;
            }
            for (UINT32 i = 0; i < count; ++i)
                held.push_back(held_filter(*entries[i]));
            FwpmFreeMemory0(reinterpret_cast<void**>(&entries));
            if (count < 64)
                break;
        }
        FwpmFilterDestroyEnumHandle0(engine_, handle);
        return result;
    }

    static HeldFilter held_filter(const FWPM_FILTER0& filter) {
        HeldFilter held;
        std::memcpy(held.key.data(), &filter.filterKey, held.key.size());
        if (filter.displayData.name != nullptr)
            held.name = from_wide(filter.displayData.name);
        if (filter.providerData.data != nullptr)
            held.record.assign(reinterpret_cast<const char*>(filter.providerData.data),
                               filter.providerData.size);
        return held;
    }

    HANDLE engine_ = nullptr;
};

class Win32TunnelAdapters final : public TunnelAdapters {
  public:
    ~Win32TunnelAdapters() override {
        if (notification_ != nullptr)
            CancelMibChangeNotify2(notification_);
    }

    std::optional<std::uint64_t> luid_of(const std::string& name) override {
        const auto alias = to_wide(name);
        NET_LUID luid{};
        if (!alias || ConvertInterfaceAliasToLuid(alias->c_str(), &luid) != NO_ERROR)
            return std::nullopt;
        return luid.Value;
    }

    std::optional<Ipv4Endpoint> resolve(const std::string& endpoint) override {
        const auto port = endpoint_port(endpoint);
        if (!port)
            return std::nullopt;
        std::string host = endpoint.substr(0, endpoint.rfind(':'));
        if (const auto literal = parse_ipv4_network(host); literal && literal->mask == 0xFFFFFFFF)
            return Ipv4Endpoint{literal->address, *port};
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
            return std::nullopt;
        addrinfo hints{};
        hints.ai_family = AF_INET;
        addrinfo* found = nullptr;
        std::optional<Ipv4Endpoint> result;
        if (getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0 && found != nullptr) {
            const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
            result = Ipv4Endpoint{ntohl(address->sin_addr.s_addr), *port};
            freeaddrinfo(found);
        }
        WSACleanup();
        return result;
    }

    void watch(std::function<void()> changed) override {
        changed_ = std::move(changed);
        NotifyIpInterfaceChange(AF_UNSPEC, &Win32TunnelAdapters::on_change, this, FALSE,
                                &notification_);
    }

  private:
    static void WINAPI on_change(void* context, MIB_IPINTERFACE_ROW*, MIB_NOTIFICATION_TYPE type) {
        auto* self = static_cast<Win32TunnelAdapters*>(context);
        if (type == MibAddInstance && self->changed_)
            self->changed_();
    }

    std::function<void()> changed_;
    HANDLE notification_ = nullptr;
};

}  // namespace

std::unique_ptr<FilterEngine> make_wfp_engine() { return std::make_unique<WfpEngine>(); }
std::unique_ptr<TunnelAdapters> make_tunnel_adapters() {
    return std::make_unique<Win32TunnelAdapters>();
}

}  // namespace velnaro::platform
