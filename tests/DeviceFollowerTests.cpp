#include "DeviceFollower.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <mutex>
#include <thread>

namespace kelvane {
namespace {

// What the model does with what a follower tells is in
// DiagnosticsViewModelTests.
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

TEST(DeviceFollower, FollowsAtItsRateLooksAgainAfterGrowingPausesAndLeavesAnotherVersionsServerAlone) {
    test::TempDir dir;
    test::StandInADB adb(dir / "adb");
    adb.answer("version", {"Android Debug Bridge version 1.0.41\n"});
    adb.install();
    test::StandInADBServer server;
    std::mutex mutex;
    std::vector<std::vector<AndroidDevice>> lists;
    std::vector<DeviceFollower::OtherServer> others;
    const auto told = [&] {
        const std::lock_guard lock(mutex);
        return std::pair(lists, others);
    };
    const auto keep = [&](auto& into) {
        return [&](const auto& what) { const std::lock_guard lock(mutex); into.push_back(what); };
    };
    DeviceFollower follower(adb.path(), server.address(), {keep(lists), keep(others)}, {0.2, 0.8, 1.5, 0.25});
    ASSERT_TRUE(test::eventually([&] { return told().first.size() == 1; }));
    // The seconds from a lost connection to the list of the next.
    const auto lost = [&] {
        const std::size_t before = told().first.size();
        const double start = test::now();
        server.restart(41);
        EXPECT_TRUE(test::eventually([&] { return told().first.size() > before; }, 3.0));
        return test::now() - start;
    };
    // The pause after each doubles up to the longest...
    for (const double pause : {0.2, 0.4, 0.8, 0.8}) {
        const double took = lost();
        EXPECT_GE(took, pause * 0.9) << pause;
        EXPECT_LT(took, pause * 1.5 + 0.25) << pause;
    }
    // ...40 changes in a second are told at most once in 0.25 s, the last
    // always...
    const std::size_t before = told().first.size();
    for (int i = 1; i <= 40; std::this_thread::sleep_for(std::chrono::milliseconds(25)), ++i) {
        server.send({{"SER" + std::to_string(i), "device"}});
    }
    const std::vector<AndroidDevice> last{{"SER40", "device"}};
    ASSERT_TRUE(test::eventually([&] { return told().first.back() == last; }));
    EXPECT_LE(told().first.size() - before, 1u + 4u + 1u);
    // ...and a server followed for 1.5 s starts the count anew.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_LT(lost(), 0.2 * 1.5 + 0.25);

    server.restart(39);
    ASSERT_TRUE(test::eventually([&] { return told().second.size() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000)); // a look or two meanwhile
    ASSERT_EQ(told().second.size(), 1u) << "told once";
    EXPECT_EQ(server.trackings(), 1 + 5) << "the first and one after each lost connection: not followed";
    const DeviceFollower::OtherServer other = told().second.front();
    EXPECT_EQ(std::pair(other.version, other.ownVersion), std::pair(39, 41));
#if defined(__linux__)
    EXPECT_EQ(other.holder, (PortHolder{server.address().port, std::filesystem::canonical("/proc/self/exe"), ::getpid(), 39}));
#endif
}

} // namespace
} // namespace kelvane
