#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/loader.hpp"
#include "platform/sealing.hpp"
#include "platform/service_control.hpp"
#include "platform/service_host.hpp"
#include "platform/system.hpp"

// What every implementation of a platform area does, whether it is the fake, Win32 or POSIX.
// Each test binary instantiates the suites with its own implementation, e.g.
//   INSTANTIATE_TEST_SUITE_P(Fake, SealingContract, ::testing::Values(SealingSubject{...}));
namespace velnaro::contract {

struct SealingSubject {
    std::string name;
    std::function<std::shared_ptr<platform::Sealing>()> make;
};

struct SystemSubject {
    std::string name;
    std::function<std::shared_ptr<platform::System>()> make;
    // Sets an environment variable where the implementation reads it.
    std::function<void(const std::string& name, const std::string& value)> set_variable;
};

struct LoaderSubject {
    std::string name;
    std::function<std::shared_ptr<platform::Loader>()> make;
    // A library that loads, one of its exports, and a file that is not a library.
    std::string library;
    std::string export_name;
    std::string not_a_library;
};

struct ServiceControlSubject {
    std::string name;
    std::function<std::shared_ptr<platform::ServiceControl>()> make;
    // Registrations are made with this command line and never started.
    std::string command_line;
    // Why this manager must not be changed from here (empty: it may); the cases then skip.
    std::function<std::string()> unavailable = {};
    // Whether a status question goes out ahead of its answer, so other work runs meanwhile.
    bool asks_ahead = false;
    // Where the manager says when a start or stop is done: a command line that runs until
    // stopped and takes a moment to stop. Empty elsewhere (the case skips).
    std::string slow_stopping_command_line = {};
};

// A process that no service manager started, as a test program is.
struct ServiceHostSubject {
    std::string name;
    std::function<std::shared_ptr<platform::ServiceHost>()> make;
    // Linux runs the service main in the foreground; Windows refuses without a manager.
    bool dispatcher_runs_main = false;
    // The fake can model a process the manager did start; its early report then goes through.
    bool started_by_manager = false;
    // The calling thread's name as debuggers see it; nothing where the system cannot tell.
    std::function<std::optional<std::string>(platform::ServiceHost&)> current_thread_name;
};

template <class Subject>
std::string subject_name(const ::testing::TestParamInfo<Subject>& info) {
    return info.param.name;
}

class SealingContract : public ::testing::TestWithParam<SealingSubject> {};
class SystemContract : public ::testing::TestWithParam<SystemSubject> {};
class LoaderContract : public ::testing::TestWithParam<LoaderSubject> {};
class ServiceHostContract : public ::testing::TestWithParam<ServiceHostSubject> {};
// Each test gets a manager handle and a registration under a fresh name.
class ServiceControlContract : public ::testing::TestWithParam<ServiceControlSubject> {
  protected:
    void SetUp() override;

    std::shared_ptr<platform::ServiceControl> services;
    platform::OwnedScHandle manager;
    platform::ServiceRegistration registration;
};

// A failure says which call failed and carries the system's error number.
::testing::AssertionResult is_os_failure(const platform::OsError& error);

}  // namespace velnaro::contract

namespace velnaro {
// "call failed with N (subject)", for the messages of failed expectations.
std::ostream& operator<<(std::ostream& out, const OsError& error);
}  // namespace velnaro
