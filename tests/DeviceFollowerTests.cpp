#include "DeviceFollower.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>

namespace kelvane {
namespace {

// Following as the window does it, through the model, is in
// DiagnosticsViewModelTests (ViewModelFollowing).
TEST(DeviceFollower, EndingWaitsForNothingAndLeavesNoChild) {
    // An adb that ignores the termination request and hangs.
    test::TempDir dir;
    test::writeScript(dir / "adb", "echo $$ > '" + (dir / "pid") + "'\ntrap '' TERM\nexec sleep 30\n");
    test::StandInADBServer server;
    auto follower = std::make_unique<DeviceFollower>(dir / "adb", server.address(), DeviceFollower::Listener{});
    ASSERT_TRUE(test::eventually([&] { return test::readFile(dir / "pid").size() > 1; }));
    const double start = test::now();
    follower.reset();
    EXPECT_LT(test::now() - start, 0.05);
    const pid_t child = std::stoi(test::readFile(dir / "pid"));
    EXPECT_TRUE(test::eventually([&] { return ::kill(child, 0) != 0; }, 2.0)) << "adb version outlived its follower";
}

} // namespace
} // namespace kelvane
