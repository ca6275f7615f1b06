#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "platform/platform.hpp"
#include "wireguard/runtime.hpp"

namespace velnaro::contract {

// One implementation of the pipes (the system's or the fake), with a platform and a runtime
// around it, for the suite every implementation has to pass.
class PipesWorld {
  public:
    virtual ~PipesWorld() = default;
    virtual Runtime& runtime() = 0;
    // A name nobody serves yet, in the form the system uses.
    virtual std::string fresh_name() = 0;
    // False where the monotonic clock moves only when a test moves it (the fake): a stalled
    // client is then never late.
    virtual bool clock_runs() const { return true; }
    // How many start/stop cycles of a server the suite runs.
    virtual int cycles() const { return 50; }

    platform::Platform& platform() { return runtime().platform; }
    platform::Pipes& pipes() { return platform().pipes; }
};

using WorldMaker = std::unique_ptr<PipesWorld> (*)();

template <class World>
std::unique_ptr<PipesWorld> make_world() {
    return std::make_unique<World>();
}

// The service's pipe server on a thread of its own, as the service runs it.
class ServerThread {
  public:
    ServerThread(Runtime& runtime, std::string name);
    ~ServerThread() { stop(); }
    // Returns once the name is served (or after a second, when it never is).
    void start();
    void stop();

  private:
    Runtime& runtime_;
    std::string name_;
    std::shared_ptr<std::atomic<bool>> stop_;
    std::thread thread_;
};

class PipesContract : public ::testing::TestWithParam<WorldMaker> {
  protected:
    void SetUp() override { world_ = GetParam()(); }

    std::unique_ptr<PipesWorld> world_;
};

}  // namespace velnaro::contract
