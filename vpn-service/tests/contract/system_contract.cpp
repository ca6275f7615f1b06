#include <algorithm>
#include <array>
#include <chrono>

#include "contract/contracts.hpp"
#include "platform/paths.hpp"

namespace velnaro::contract {
namespace {

TEST_P(SystemContract, ExecutablePathIsAbsolute) {
    auto path = GetParam().make()->executable_path();
    ASSERT_TRUE(path);
    EXPECT_TRUE(is_absolute_path(*path)) << *path;
}

TEST_P(SystemContract, RandomBytesFillTheWholeBufferAnewEachTime) {
    auto system = GetParam().make();
    std::array<std::uint8_t, 32> first{};
    std::array<std::uint8_t, 32> second{};
    ASSERT_TRUE(system->random_bytes(first));
    ASSERT_TRUE(system->random_bytes(second));
    EXPECT_NE(first, second);
    EXPECT_FALSE(std::ranges::all_of(first, [](std::uint8_t b) { return b == 0; }));
    EXPECT_TRUE(system->random_bytes({})) << "an empty buffer is no failure";
}

TEST_P(SystemContract, AnUnsetVariableIsNothingAndASetOneIsItsValue) {
    auto system = GetParam().make();
    EXPECT_FALSE(system->environment_variable("VELNARO_CONTRACT_NEVER_SET"));
    GetParam().set_variable("VELNARO_CONTRACT_VALUE", "C:\\ProgramData");
    EXPECT_EQ(system->environment_variable("VELNARO_CONTRACT_VALUE"), "C:\\ProgramData");
}

TEST_P(SystemContract, ClocksCountFrom1601AndSleepAdvancesTheMonotonicOne) {
    auto system = GetParam().make();
    constexpr std::uint64_t k2020In100ns = 132223104000000000ULL;
    EXPECT_GT(system->system_time_100ns(), k2020In100ns);
    const auto before = system->monotonic_now();
    system->sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(system->monotonic_now() - before, std::chrono::milliseconds(20));
}

}  // namespace
}  // namespace velnaro::contract
