#include "contract/file_system_contract.hpp"

#include "fake/fake_file_system.hpp"

namespace velnaro::platform {
namespace {

// The fake in a directory of its own, with no fault switched on.
struct FakeFileEnvironment {
    fake::Faults faults;
    fake::FakeFileSystem fake{faults};

    FakeFileEnvironment() { (void)fake.create_directories(root()); }
    FileSystem& files() { return fake; }
    std::string root() const { return join_path(fake::fake_root(), "contract"); }
    void put(const std::string& path, std::string_view content) { fake.put_file(path, content); }
};

INSTANTIATE_TYPED_TEST_SUITE_P(Fake, FileSystemContract, ::testing::Types<FakeFileEnvironment>);

}  // namespace
}  // namespace velnaro::platform
