#include <stdlib.h>

#include <filesystem>

#include "contract/pipes_contract.hpp"
#include "platform/native.hpp"
#include "wireguard/components.hpp"

namespace velnaro::contract {
namespace {

// Sockets in a private folder under /tmp, removed with the world.
class PosixWorld final : public PipesWorld {
  public:
    PosixWorld() {
        char pattern[] = "/tmp/velnaro-contract-XXXXXX";
        if (::mkdtemp(pattern) != nullptr)
            directory_ = pattern;
    }
    ~PosixWorld() override {
        if (!directory_.empty())
            std::filesystem::remove_all(directory_);
    }
    Runtime& runtime() override { return runtime_; }
    std::string fresh_name() override {
        return directory_ + "/sock-dir/" + std::to_string(++names_) + ".sock";
    }
    int cycles() const override { return 1000; }

  private:
    platform::NativePlatform native_;
    wireguard::ComponentCell components_;
    Runtime runtime_{native_.get(), components_};
    std::string directory_;
    int names_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Posix, PipesContract, ::testing::Values(&make_world<PosixWorld>));

}  // namespace
}  // namespace velnaro::contract
