#include "contract/pipes_contract.hpp"
#include "fake/fake_platform.hpp"

namespace velnaro::contract {
namespace {

class FakeWorld final : public PipesWorld {
  public:
    Runtime& runtime() override { return fake_.runtime; }
    std::string fresh_name() override { return "fake-pipe-" + std::to_string(++names_); }
    bool clock_runs() const override { return false; }

  private:
    fake::FakePlatform fake_;
    int names_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Fake, PipesContract, ::testing::Values(&make_world<FakeWorld>));

}  // namespace
}  // namespace velnaro::contract
