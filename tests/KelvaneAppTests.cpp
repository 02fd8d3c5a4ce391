// Closing the last window ends the program only once the operations under
// way have ended, run by the real runner against a slow stand-in adb.
#include "KelvaneApp.h"

#include "CommandRunner.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <sstream>

namespace kelvane {
namespace {

TEST(KelvaneApp, ClosingTheWindowEndsTheProgramOnlyOnceItsOperationsHaveEnded) {
#ifdef Q_OS_MACOS
    GTEST_SKIP() << "on the Mac, closing the window leaves the application running";
#endif
    test::TempDir dir;
    test::writeScript(dir / "adb", "echo $$ >> '" + (dir / "pids") + "'\nsleep 1\necho 'Events injected: 1'\n");
    DiagnosticsSnapshot found;
    found.adbPath = dir / "adb";
    found.scrcpyPath = dir / "scrcpy";
    found.devices = {AndroidDevice("SER1", "device")};
    found.selectedDeviceID = "SER1";
    found.lingguangInstalled = true;
    found.lingguangDevices = {"SER1"};
    int passes = 0;
    std::vector<std::string> log, launched;
    ViewModelServices services;
    services.buildSnapshot = [&](const DiagnosticsService::PassOptions&) {
        CommandRunner::run(dir / "adb", {}, 12.0);
        found.log = "pass " + std::to_string(++passes);
        return found;
    };
    services.appendLog = [&](const std::string& entry) { log.push_back(entry); };
    services.trackDevices = [](auto&&...) { return std::make_shared<Following>(); };
    services.launchDetached = [&](const std::string& scrcpy, const std::vector<std::string>&, auto) { launched.push_back(scrcpy); };
    const auto model = DiagnosticsViewModel::create(withQtServices(services));
    KelvaneWindow window(model);
    endWithTheWindow(*qApp, window, model);
    window.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->snapshot().log == "pass 1" && model->operationsUnderWay() == 0; }, 5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->isFollowingDevices(); }, 5000)) << "the shown window follows the phone";

    // A pass and a mirror start are under way when the window closes.
    model->refresh();
    model->startMirror(true);
    bool hiddenWhileWaiting = false;
    QTimer::singleShot(0, &window, [&] {
        window.close();
        hiddenWhileWaiting = !window.isVisible() && model->operationsUnderWay() == 2;
    });
    QTimer giveUp;
    QObject::connect(&giveUp, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    giveUp.start(15000);
    const int status = QCoreApplication::exec();
    QApplication::setQuitOnLastWindowClosed(true);

    EXPECT_EQ(status, 0) << "the program did not end";
    EXPECT_TRUE(hiddenWhileWaiting);
    EXPECT_FALSE(model->isFollowingDevices()) << "the closed window follows nothing";
    EXPECT_EQ(model->snapshot().log, "pass 2");
    EXPECT_EQ(launched, std::vector<std::string>{dir / "scrcpy"});
    EXPECT_EQ(log, (std::vector<std::string>{"Lingguang launch result: status=0 output=Events injected: 1\n",
                                             "Launching scrcpy for device SER1"}));
    std::istringstream pids(test::readFile(dir / "pids"));
    for (int pid = 0; pids >> pid;) EXPECT_NE(::kill(pid, 0), 0) << "adb " << pid << " outlived the program";

    // A pass that never ends (an adb stuck in the kernel) keeps the program
    // no longer than the limit.
    services.buildSnapshot = [found](const DiagnosticsService::PassOptions&) {
        CommandRunner::run("/bin/sleep", {"5"}, 12.0);
        return found;
    };
    const auto stuck = DiagnosticsViewModel::create(withQtServices(services));
    KelvaneWindow stuckWindow(stuck);
    endWithTheWindow(*qApp, stuckWindow, stuck, std::chrono::milliseconds(200));
    stuckWindow.show();
    QTimer::singleShot(0, &stuckWindow, [&] { stuckWindow.close(); });
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_EQ(stuck->operationsUnderWay(), 1u) << "ended while the pass was under way";
    QApplication::setQuitOnLastWindowClosed(true);
}

} // namespace
} // namespace kelvane
