#include "DeviceFollower.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

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

TEST(DeviceFollower, ALostServerIsLookedForAfterPausesThatDoubleUpToTheLongest) {
    test::TempDir dir;
    test::StandInADB adb(dir / "adb");
    adb.answer("version", {"Android Debug Bridge version 1.0.41\n"});
    adb.install();
    test::StandInADBServer server;
    std::atomic<int> lists = 0;
    DeviceFollower follower(adb.path(), server.address(), {.devices = [&](auto) { ++lists; }}, {0.2, 0.8, 1.5, 0});
    ASSERT_TRUE(test::eventually([&] { return lists == 1; }));
    // The pause after each lost connection; a server followed for 1.5 s
    // (-1: waited for here) starts the count anew.
    for (const double pause : {0.2, 0.4, 0.8, 0.8, -1.0, 0.2}) {
        if (pause < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1600));
            continue;
        }
        const int before = lists;
        const double start = test::now();
        server.restart(41);
        ASSERT_TRUE(test::eventually([&] { return lists > before; }, 3.0));
        EXPECT_GE(test::now() - start, pause * 0.9) << pause;
        EXPECT_LT(test::now() - start, pause * 1.5 + 0.25) << pause;
    }
}

} // namespace
} // namespace kelvane
