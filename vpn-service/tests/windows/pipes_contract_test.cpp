#include "contract/pipes_contract.hpp"
#include "platform/native.hpp"
#include "wireguard/components.hpp"

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

INSTANTIATE_TEST_SUITE_P(Win32, PipesContract, ::testing::Values(&make_world<Win32World>));

}  // namespace
}  // namespace velnaro::contract
