#include "contract/pipes_contract.hpp"
#include "platform/native.hpp"

namespace velnaro::contract {
namespace {

class Win32World final : public PipesWorld {
  public:
    Runtime& runtime() override { return runtime_; }
    // Names of their own, so a test's instances still closing never meet the next test.
    std::string fresh_name() override {
        static int names = 0;
        return "\\\\.\\pipe\\VelnaroVpnService.contract-" + std::to_string(++names);
    }

  private:
    platform::NativePlatform native_;
    wireguard::ComponentCell components_;
    Runtime runtime_{native_.get(), components_};
};

std::unique_ptr<PipesWorld> make_win32_world() { return std::make_unique<Win32World>(); }

INSTANTIATE_TEST_SUITE_P(Win32, PipesContract, ::testing::Values(&make_win32_world));

}  // namespace
}  // namespace velnaro::contract
