#include "contract/contracts.hpp"

namespace velnaro::contract {
namespace {

TEST_P(LoaderContract, ALibraryLoadsAndAnswersForItsExports) {
    const LoaderSubject& subject = GetParam();
    auto loader = subject.make();
    auto module = loader->load_library(subject.library);
    ASSERT_TRUE(module) << module.error().operation << " " << module.error().code;
    EXPECT_NE(loader->find_export(*module, subject.export_name.c_str()), nullptr);
    EXPECT_EQ(loader->find_export(*module, "VelnaroNoSuchExport"), nullptr);
}

TEST_P(LoaderContract, MissingFilesAndNonLibrariesFailNamingThePath) {
    const LoaderSubject& subject = GetParam();
    auto loader = subject.make();
    const std::string missing = subject.library + ".missing";
    for (const std::string& path : {missing, subject.not_a_library}) {
        auto module = loader->load_library(path);
        ASSERT_FALSE(module) << path;
        EXPECT_TRUE(is_os_failure(module.error()));
        EXPECT_EQ(module.error().subject, path);
    }
}

}  // namespace
}  // namespace velnaro::contract
