#include <random>

#include "contract/contracts.hpp"

namespace velnaro::contract {
namespace {

namespace access = platform::access;
constexpr std::uint32_t kAllServiceRights = 0xF01FF;

// Registers test services under fresh names and removes whatever is left of them.
class Registrations {
  public:
    explicit Registrations(const ServiceControlSubject& subject) : services_(subject.make()) {
        registration.name = "VelnaroContract" + std::to_string(std::random_device{}() % 1000000);
        registration.display_name = "Velnaro contract test";
        registration.start_type = 3;  // on demand: never started here
        registration.command_line = subject.command_line;
    }

    platform::ServiceControl& services() { return *services_; }
    platform::ServiceRegistration registration;

  private:
    std::shared_ptr<platform::ServiceControl> services_;
};

TEST_P(ServiceControlContract, CreateChangeDescribeQueryAndDelete) {
    Registrations test(GetParam());
    platform::ServiceControl& services = test.services();
    auto manager = services.open_manager(access::kManagerConnect | access::kManagerCreateService);
    if (!manager)
        GTEST_SKIP() << "the service manager cannot be opened: " << manager.error().code;
    {
        auto service = services.create_service(manager->get(), test.registration,
                                               kAllServiceRights);
        ASSERT_TRUE(service);
        EXPECT_EQ(services.query_service_state(service->get()),
                  platform::service_state::kStopped);
        auto again = services.create_service(manager->get(), test.registration,
                                             kAllServiceRights);
        ASSERT_FALSE(again) << "a name is registered once";
        EXPECT_TRUE(is_os_failure(again.error()));

        test.registration.display_name += ", updated";
        EXPECT_TRUE(services.change_service_config(service->get(), test.registration));
        EXPECT_TRUE(services.set_service_description(service->get(), "Un service de test."));
        ASSERT_TRUE(services.delete_service(service->get()));
    }
    // Gone once its last handle is closed; the refusal still names it.
    auto reopened =
        services.open_service(manager->get(), test.registration.name, access::kServiceQueryStatus);
    ASSERT_FALSE(reopened);
    EXPECT_EQ(reopened.error().kind, platform::OpenServiceFailure::missing);
    EXPECT_TRUE(is_os_failure(reopened.error().os));
    EXPECT_EQ(reopened.error().os.subject, test.registration.name);
}

TEST_P(ServiceControlContract, AStoppedServiceRefusesTheStopControl) {
    Registrations test(GetParam());
    platform::ServiceControl& services = test.services();
    auto manager = services.open_manager(access::kManagerConnect | access::kManagerCreateService);
    if (!manager)
        GTEST_SKIP() << "the service manager cannot be opened: " << manager.error().code;
    auto service = services.create_service(manager->get(), test.registration, kAllServiceRights);
    ASSERT_TRUE(service);
    auto stopped = services.stop_service(service->get());
    ASSERT_FALSE(stopped) << "a stopped service takes no stop control";
    EXPECT_TRUE(is_os_failure(stopped.error()));
    EXPECT_TRUE(services.delete_service(service->get()));
}

}  // namespace
}  // namespace velnaro::contract
