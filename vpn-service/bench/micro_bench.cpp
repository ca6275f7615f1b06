// The service's own steps next to the least that does the same job: key generation and
// sealing against bare libsodium, the secret-file store sequence against bare
// write+fsync+rename+fsync, and the in-process share of one APPLY_CONFIG exchange.
// Run from the build tree (the components are loaded from vpn/ beside the executable).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>
#ifdef VELNARO_BENCH_SIMDJSON
#include <simdjson.h>
#endif

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "dispatch/dispatcher.hpp"
#include "dispatch/unlinked_tunnel_controller.hpp"
#include "platform/posix/file_system.hpp"
#include "platform/posix/loader.hpp"
#include "platform/posix/sealing.hpp"
#include "platform/posix/sealing_key.hpp"
#include "platform/posix/system.hpp"
#include "platform/posix/systemd/systemd_service_control.hpp"
#include "protected_storage/sealed_blob.hpp"
#include "protected_storage/secret_file.hpp"
#include "protocol/messages.hpp"
#include "wireguard/components.hpp"
#include "wireguard/keys.hpp"

namespace velnaro {
namespace {

namespace fs = std::filesystem;

// A scratch directory on the disk the build lives on (fsync on tmpfs would cost nothing),
// also holding the sealing key, so the account's real key is never touched.
const fs::path& scratch() {
    static const fs::path path = [] {
        const fs::path dir = fs::read_symlink("/proc/self/exe").parent_path() /
                             ("bench-scratch-" + std::to_string(::getpid()));
        fs::create_directories(dir / "keys");
        fs::create_directories(dir / "store");
        return dir;
    }();
    return path;
}

struct BenchPlatform {
    platform::PosixFileSystem files;
    platform::PosixSystem system;
    platform::PosixSealing sealing{platform::SealingKeyLocation{(scratch() / "keys").string()}};
    platform::PosixLoader loader;
    platform::SystemdServiceControl services;
    platform::Platform platform{files, system, sealing, loader, services};
    wireguard::ComponentCell components;
    Runtime runtime{platform, components};
};

BenchPlatform& bench_platform() {
    static BenchPlatform instance;
    return instance;
}

std::vector<std::uint8_t> bytes_of(std::string_view text) {
    return {text.begin(), text.end()};
}

// A valid configuration of about 600 bytes, most of it in allowed networks.
std::string apply_config_request() {
    std::string text =
        R"({"command":"APPLY_CONFIG","payload":{"configVersion":7,"address":"10.250.10.21/32",)"
        R"("gatewayPublicKey":")" +
        std::string(43, 'A') +
        R"(=","endpointHost":"gateway.example.net","endpointPort":51820,"allowedIps":[)";
    const std::string tail = R"(],"persistentKeepalive":25}})";
    for (int network = 0; text.size() + tail.size() < 585; ++network) {
        if (network > 0)
            text += ",";
        text += "\"10." + std::to_string(network) + ".0.0/16\"";
    }
    return text + tail;
}

void BM_ApplyConfig_DecodeHandleEncode(benchmark::State& state) {
    const std::vector<std::uint8_t> body = bytes_of(apply_config_request());
    Runtime& runtime = bench_platform().runtime;
    const RequestContext context{nullptr, std::make_unique<UnlinkedTunnelController>()};
    for (auto _ : state) {
        auto request = decode_request(body);
        if (!request)
            state.SkipWithError("the request does not decode");
        auto response = encode_response(handle_request(runtime, context, std::move(*request)));
        benchmark::DoNotOptimize(response);
    }
    state.counters["body_bytes"] = static_cast<double>(body.size());
}
BENCHMARK(BM_ApplyConfig_DecodeHandleEncode);

// The strict reader alone, and the same body through simdjson's DOM parser where that library
// is installed (no rule checked): what another reader could save at most.
void BM_ApplyConfig_DecodeOnly(benchmark::State& state) {
    const std::vector<std::uint8_t> body = bytes_of(apply_config_request());
    for (auto _ : state) {
        auto request = decode_request(body);
        benchmark::DoNotOptimize(request);
    }
}
BENCHMARK(BM_ApplyConfig_DecodeOnly);

#ifdef VELNARO_BENCH_SIMDJSON
void BM_ApplyConfig_SimdjsonParseOnly(benchmark::State& state) {
    const simdjson::padded_string body(apply_config_request());
    simdjson::dom::parser parser;
    for (auto _ : state) {
        simdjson::dom::element root;
        if (parser.parse(body).get(root) != simdjson::SUCCESS)
            state.SkipWithError("simdjson refused the request");
        benchmark::DoNotOptimize(root);
    }
}
BENCHMARK(BM_ApplyConfig_SimdjsonParseOnly);
#endif

void BM_KeyGeneration_Service(benchmark::State& state) {
    Runtime& runtime = bench_platform().runtime;
    const auto directory = resolve_component_directory(runtime.platform);
    if (!directory) {
        state.SkipWithError("no vpn/ directory beside the executable");
        return;
    }
    for (auto _ : state) {
        auto pair = generate_keypair(runtime, *directory);
        if (!pair)
            state.SkipWithError("key generation failed");
        benchmark::DoNotOptimize(pair);
    }
}
BENCHMARK(BM_KeyGeneration_Service);

void BM_KeyGeneration_BareSodium(benchmark::State& state) {
    if (sodium_init() < 0)
        state.SkipWithError("libsodium cannot start");
    std::uint8_t private_key[32];
    std::uint8_t public_key[32];
    for (auto _ : state) {
        randombytes_buf(private_key, sizeof private_key);
        private_key[0] &= 248;
        private_key[31] = (private_key[31] & 127) | 64;
        crypto_scalarmult_curve25519_base(public_key, private_key);
        benchmark::DoNotOptimize(public_key);
    }
    sodium_memzero(private_key, sizeof private_key);
}
BENCHMARK(BM_KeyGeneration_BareSodium);

constexpr std::size_t kSecretBytes = 4096;

void BM_Seal4KiB_Service(benchmark::State& state) {
    const std::vector<std::uint8_t> secret(kSecretBytes, 0x5a);
    platform::Platform& platform = bench_platform().platform;
    for (auto _ : state) {
        auto blob = seal_secret(platform, secret, kTunnelDescription);
        if (!blob)
            state.SkipWithError("sealing failed");
        benchmark::DoNotOptimize(blob);
    }
}
BENCHMARK(BM_Seal4KiB_Service);

// The envelope alone: nonce, header as associated data, XChaCha20-Poly1305, key in memory.
void BM_Seal4KiB_BareSodium(benchmark::State& state) {
    if (sodium_init() < 0)
        state.SkipWithError("libsodium cannot start");
    const std::vector<std::uint8_t> secret(kSecretBytes, 0x5a);
    std::uint8_t key[crypto_aead_xchacha20poly1305_ietf_KEYBYTES];
    crypto_aead_xchacha20poly1305_ietf_keygen(key);
    const std::string header = "VLSEAL\x01\x0d\x00VelnaroTunnel";
    for (auto _ : state) {
        std::vector<std::uint8_t> blob(header.begin(), header.end());
        const std::size_t nonce_at = blob.size();
        blob.resize(nonce_at + crypto_aead_xchacha20poly1305_ietf_NPUBBYTES + secret.size() +
                    crypto_aead_xchacha20poly1305_ietf_ABYTES);
        randombytes_buf(blob.data() + nonce_at, crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
        const std::size_t sealed_at = nonce_at + crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
        unsigned long long sealed = 0;
        crypto_aead_xchacha20poly1305_ietf_encrypt(blob.data() + sealed_at, &sealed, secret.data(),
                                                   secret.size(), blob.data(), sealed_at, nullptr,
                                                   blob.data() + nonce_at, key);
        benchmark::DoNotOptimize(blob);
    }
    sodium_memzero(key, sizeof key);
}
BENCHMARK(BM_Seal4KiB_BareSodium);

// What the service does on every seal besides the cipher: read the account secret and the
// machine id and hash them into the key.
void BM_SealingKeyDerivation(benchmark::State& state) {
    const platform::SealingKeyLocation location{(scratch() / "keys").string()};
    platform::SealingKey key;
    for (auto _ : state) {
        if (!platform::derive_sealing_key(location, key))
            state.SkipWithError("no sealing key");
        benchmark::DoNotOptimize(key.data());
    }
}
BENCHMARK(BM_SealingKeyDerivation);

// The secret-file sequence through the platform: create-new, write, flush, close, restrict,
// move over the target with the directory synced.
void BM_Store4KiB_Service(benchmark::State& state) {
    const std::vector<std::uint8_t> blob(kSecretBytes + 60, 0x33);
    const std::string temporary = (scratch() / "store" / "service.tmp").string();
    const std::string target = (scratch() / "store" / "service.dat").string();
    const SecretFileWrite write{.path = target,
                                .temporary = temporary,
                                .replace = true,
                                .write_failed = DetailCode::TUNNEL_CONFIG_WRITE_FAILED,
                                .move_failed = DetailCode::TUNNEL_CONFIG_REPLACE_FAILED};
    for (auto _ : state) {
        if (!write_secret_file(bench_platform().platform, write, blob))
            state.SkipWithError("store failed");
    }
}
BENCHMARK(BM_Store4KiB_Service)->UseRealTime();

void BM_Store4KiB_BareCalls(benchmark::State& state) {
    const std::vector<std::uint8_t> blob(kSecretBytes + 60, 0x33);
    const std::string directory = (scratch() / "store").string();
    const std::string temporary = directory + "/bare.tmp";
    const std::string target = directory + "/bare.dat";
    for (auto _ : state) {
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        bool ok =
            fd >= 0 && ::write(fd, blob.data(), blob.size()) == static_cast<ssize_t>(blob.size());
        ok = ok && ::fsync(fd) == 0;
        if (fd >= 0)
            ::close(fd);
        ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
        const int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ok = ok && dir >= 0 && ::fsync(dir) == 0;
        if (dir >= 0)
            ::close(dir);
        if (!ok)
            state.SkipWithError("store failed");
    }
}
BENCHMARK(BM_Store4KiB_BareCalls)->UseRealTime();

}  // namespace
}  // namespace velnaro

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    std::filesystem::remove_all(velnaro::scratch(), ignored);
    return 0;
}
