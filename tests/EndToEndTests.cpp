// End to end against the real adb: stand-in phones on loopback, connected to
// the adb server of this machine, seen through the diagnostics pass, the
// view model's mirror start and kelvane-doctor. Tool discovery is pointed at
// the adb on the search path; scrcpy is a stand-in script.
#include "CommandRunner.h"
#include "DiagnosticsService.h"
#include "DiagnosticsViewModel.h"
#include "KelvaneDoctor.h"
#include "StandinPhone.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>

namespace kelvane {
namespace {

using test::PhoneMode;
using test::StandinPhone;
using test::runADB;
using Strings = std::vector<std::string>;

const std::string pmService = "shell:pm list packages com.antgroup.leopard.android";
const std::string monkeyService =
    "shell:monkey -p com.antgroup.leopard.android -c android.intent.category.LAUNCHER 1";
const std::string devicesHeading = "$ adb devices\n";
const std::string pmHeading = "$ adb shell pm list packages com.antgroup.leopard.android\n";
const std::string lingguangLine = "package:com.antgroup.leopard.android\n";
const std::string listHeading = "List of devices attached\n";
const std::string emptyList = listHeading + "\n";

const std::string& realADB() {
    static const std::string path = test::findOnSearchPath("adb");
    return path;
}

// The adb server is shared by everything on this machine: each test program
// starts from a server of its own and kills it when done, so that nothing a
// phone left behind outlives the program.
class OwnADBServer : public ::testing::Environment {
public:
    void SetUp() override {
        if (realADB().empty()) return;
        runADB(realADB(), {"kill-server"});
        runADB(realADB(), {"start-server"});
    }
    void TearDown() override {
        if (!realADB().empty()) runADB(realADB(), {"kill-server"});
    }
};
[[maybe_unused]] ::testing::Environment* const adbServer = ::testing::AddGlobalTestEnvironment(new OwnADBServer);

// "List of devices attached\n", one "SERIAL\tSTATE\n" per phone, "\n".
std::string deviceList(const std::vector<std::pair<std::string, std::string>>& lines) {
    std::string text = listHeading;
    for (const auto& [serial, state] : lines) text += serial + "\t" + state + "\n";
    return text + "\n";
}

std::string checkStates(const DiagnosticsSnapshot& snapshot) {
    std::string states;
    for (const CheckItem& check : snapshot.checks) states += std::string(rawValue(check.state())) + " ";
    return states;
}

std::string canonicalPath(const std::string& path) {
    std::error_code error;
    const std::filesystem::path resolved = std::filesystem::canonical(path, error);
    return error ? path : resolved.string();
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (realADB().empty()) GTEST_SKIP() << "adb is not installed: the end-to-end tests need the real adb";
        if (std::string(KELVANE_PYTHON).empty()) {
            GTEST_SKIP() << "python3 is not installed: the stand-in phones need it";
        }
        adb = realADB();
        places.adbCandidates = {adb};
        places.adbServer = ADBServerAddress::fromEnvironment();
        ASSERT_EQ(listing(), emptyList) << "the adb server lists devices that are not this test's";
    }

    void TearDown() override {
        if (adb.empty()) return;
        phones.clear();
        EXPECT_EQ(listing(), emptyList) << "every phone is disconnected again";
    }

    // A new phone, connected and listed by the server in its mode's state.
    StandinPhone& connectPhone(PhoneMode mode, bool lingguang = false, int port = 0, bool wifi = true) {
        phones.push_back(
            std::make_unique<StandinPhone>(KELVANE_PYTHON, KELVANE_STANDIN_PHONE, adb, mode, lingguang, port, wifi));
        StandinPhone& phone = *phones.back();
        phone.connect();
        const std::string line = phone.serial() + "\t" + test::listedState(mode) + "\n";
        EXPECT_TRUE(test::eventually([&] { return listing().find(line) != std::string::npos; }, 5.0))
            << "not listed as " << line << listing();
        return phone;
    }

    // What the real adb prints for "adb devices" right now.
    std::string listing() const { return runADB(adb, {"devices"}).output; }

    std::string activityLog() const { return dir.activityLog(); }

    test::StandInMachine dir; // its adb is the real one
    std::string adb;
    Places& places = dir.places;
    std::vector<std::unique_ptr<StandinPhone>> phones;
};

// ---- The diagnostics pass ------------------------------------------------

TEST_F(EndToEnd, AuthorizedPhoneIsReadyWithOrWithoutLingguang) {
    for (const bool installed : {true, false}) {
        StandinPhone& phone = connectPhone(PhoneMode::authorized, installed);

        const DiagnosticsSnapshot snapshot = DiagnosticsService::buildSnapshot(places);

        const std::string devices = deviceList({{phone.serial(), "device"}});
        EXPECT_EQ(listing(), devices) << "what the real adb prints at the same moment";
        // Without it, the phone answers the package query with nothing at all.
        EXPECT_EQ(snapshot.log, devicesHeading + devices + "\n" + pmHeading + (installed ? lingguangLine : ""));
        EXPECT_EQ(snapshot.adbPath, adb);
        EXPECT_EQ(snapshot.adbSource, "System adb");
        EXPECT_EQ(snapshot.devices, (std::vector<AndroidDevice>{{phone.serial(), "device"}}));
        EXPECT_EQ(snapshot.selectedDeviceID, phone.serial());
        EXPECT_EQ(snapshot.lingguangInstalled, installed);
        EXPECT_EQ(checkStates(snapshot), installed ? "pass pass pass pass " : "pass pass pass warn ");
        EXPECT_EQ(snapshot.checks.at(2).detail(), "1 authorized device(s).");
        EXPECT_EQ(phone.services(), Strings{pmService});
        EXPECT_TRUE(test::isLogOf(activityLog(), {"Diagnostics refreshed. Ready to mirror 1 authorized device(s)."}))
            << activityLog();

        phones.clear();
        test::writeFile(places.logPath, "");
        ASSERT_EQ(listing(), emptyList);
    }
}

TEST_F(EndToEnd, PhonesThatAreNotAuthorizedAreListedButNeverAsked) {
    for (const PhoneMode mode : {PhoneMode::unauthorized, PhoneMode::offline}) {
        const std::string state = test::listedState(mode);
        StandinPhone& phone = connectPhone(mode);

        const DiagnosticsSnapshot snapshot = DiagnosticsService::buildSnapshot(places);

        EXPECT_EQ(snapshot.log, devicesHeading + deviceList({{phone.serial(), state}})) << state;
        EXPECT_EQ(snapshot.devices, (std::vector<AndroidDevice>{{phone.serial(), state}})) << state;
        EXPECT_EQ(snapshot.selectedDeviceID, std::nullopt) << state;
        EXPECT_FALSE(snapshot.lingguangInstalled) << state;
        EXPECT_EQ(checkStates(snapshot), "pass pass warn warn ") << state;
        EXPECT_EQ(snapshot.summary(), "No authorized Android device.") << state;
        EXPECT_EQ(phone.services(), Strings{}) << state;

        phones.clear();
        ASSERT_EQ(listing(), emptyList) << state;
    }
}

TEST_F(EndToEnd, EveryAuthorizedPhoneIsAskedAndTheFirstInADBsOrderIsChosen) {
    auto one = std::make_unique<StandinPhone>(KELVANE_PYTHON, KELVANE_STANDIN_PHONE, adb, PhoneMode::authorized, true);
    auto two = std::make_unique<StandinPhone>(KELVANE_PYTHON, KELVANE_STANDIN_PHONE, adb, PhoneMode::authorized, true);
    if (one->serial() > two->serial()) std::swap(one, two);
    // adb lists its phones in the text order of their serials, not in the
    // order they came: connect the later one first.
    for (auto* phone : {&two, &one}) {
        phones.push_back(std::move(*phone));
        phones.back()->connect();
    }
    const StandinPhone& first = *phones[1];
    const StandinPhone& second = *phones[0];
    const std::string devices = deviceList({{first.serial(), "device"}, {second.serial(), "device"}});
    ASSERT_TRUE(test::eventually([&] { return listing() == devices; }, 5.0)) << listing();

    const DiagnosticsSnapshot snapshot = DiagnosticsService::buildSnapshot(places);

    const auto pmOf = [](const StandinPhone& phone) {
        return "$ adb -s " + phone.serial() + " shell pm list packages com.antgroup.leopard.android\n" + lingguangLine;
    };
    EXPECT_EQ(snapshot.log, devicesHeading + devices + "\n" + pmOf(first) + "\n" + pmOf(second));
    EXPECT_EQ(snapshot.selectedDeviceID, first.serial());
    EXPECT_EQ(snapshot.lingguangDevices, (Strings{first.serial(), second.serial()}));
    EXPECT_EQ(snapshot.summary(), "Ready to mirror 2 authorized device(s).");
    EXPECT_EQ(first.services(), Strings{pmService});
    EXPECT_EQ(second.services(), Strings{pmService});
}

TEST_F(EndToEnd, AFreshServersNoticesStayOutOfTheTranscript) {
    // The first command to a server that is not running starts it and says
    // so; the pass asks for the device list only after starting the server.
    runADB(adb, {"kill-server"});
    const std::string firstListing = listing();
    EXPECT_NE(firstListing.find("daemon"), std::string::npos) << firstListing;
    EXPECT_NE(firstListing, emptyList);
    runADB(adb, {"kill-server"});

    const DiagnosticsSnapshot snapshot = DiagnosticsService::buildSnapshot(places);

    EXPECT_EQ(snapshot.log, devicesHeading + emptyList);
    EXPECT_TRUE(snapshot.devices.empty());
    EXPECT_EQ(checkStates(snapshot), "pass pass fail warn ");
}

// ---- The mirror start through the view model ------------------------------

// What the stand-in phone's shell prints for `command`, with Lingguang.
std::string phoneShellText(const std::string& command) {
    const std::string script = KELVANE_STANDIN_PHONE;
    const CommandResult result = CommandRunner::run(
        KELVANE_PYTHON,
        {"-B", "-c",
         "import sys; sys.path.insert(0, sys.argv[1]); import standin_phone as p; "
         "sys.stdout.write(p.shell_output(sys.argv[2], True))",
         script.substr(0, script.rfind('/')), command},
        15.0);
    EXPECT_EQ(result.status, 0) << result.output;
    return result.output;
}

// ---- Wi-Fi ---------------------------------------------------------------

// Both ways to a phone over Wi-Fi, through the model and the real adb: the
// phone switched from its first connection (standing in for the cable) is
// chosen and mirrored by its new address; the same address connects again
// by hand; a phone without Wi-Fi is told so and never switched.
TEST_F(EndToEnd, PhoneSwitchedToWiFiIsChosenMirroredAndConnectedByAddress) {
    StandinPhone& phone = connectPhone(PhoneMode::authorized, true);
    const int port = test::freePorts(1).front();
    const std::string twin = "127.0.0.1:" + std::to_string(port);
    auto ui = std::make_shared<test::UIQueue>();
    ViewModelServices services = test::realServices(places);
    services.onUIThread = [ui](Task task) { ui->post(std::move(task)); };
    const auto model = DiagnosticsViewModel::create(services);
    const auto request = [&](Wireless::Request wanted) {
        std::optional<Wireless::Outcome> told;
        model->connectWireless(std::move(wanted), [&](const Wireless::Outcome& outcome) { told = outcome; });
        EXPECT_TRUE(ui->runUntil([&] { return told.has_value(); }, 60.0));
        return told.value_or(Wireless::Outcome{Wireless::Failure::other});
    };
    bool refreshed = false;
    model->refresh([&] { refreshed = true; });
    ASSERT_TRUE(ui->runUntil([&] { return refreshed; }, 40.0));

    EXPECT_EQ(request({Wireless::Request::Kind::switchToWiFi, phone.serial(), "", "", port}).serial, twin);
    EXPECT_EQ(model->statusMessage(), phone.serial() + " is now on Wi-Fi as " + twin + ". The cable can go.");
    EXPECT_EQ(model->selectedDeviceID(), twin);
    bool started = false;
    model->startMirror(false, [&] { started = true; });
    ASSERT_TRUE(ui->runUntil([&] { return started; }, 20.0));
    ASSERT_TRUE(test::eventually([&] { return test::exists(dir / "scrcpy-arguments"); }));
    EXPECT_EQ(test::readFile(dir / "scrcpy-arguments"), "--serial\n" + twin + "\n--window-title\nKelvane - " + twin + "\n");

    runADB(adb, {"disconnect", twin});
    EXPECT_EQ(request({Wireless::Request::Kind::connect, twin}).message, "Connected to " + twin + ".");
    EXPECT_NE(activityLog().find("Wi-Fi: Connected to " + twin + ".\n$ adb connect " + twin + "\nconnected to"),
              std::string::npos) << activityLog();
    runADB(adb, {"disconnect", twin});

    StandinPhone& withoutWiFi = connectPhone(PhoneMode::authorized, false, 0, false);
    EXPECT_EQ(request({Wireless::Request::Kind::switchToWiFi, withoutWiFi.serial()}).failure, Wireless::Failure::notOnWiFi);
    EXPECT_EQ(withoutWiFi.services(), Strings{"shell:ip -f inet addr show wlan0"});
}

TEST_F(EndToEnd, MirrorWithLingguangThroughTheViewModel) {
    StandinPhone& phone = connectPhone(PhoneMode::authorized, true);
    const std::string serial = phone.serial();

    auto ui = std::make_shared<test::UIQueue>();
    ViewModelServices services = test::realServices(places);
    services.onUIThread = [ui](Task task) { ui->post(std::move(task)); };
    auto model = DiagnosticsViewModel::create(services);

    bool refreshed = false;
    model->refresh([&] { refreshed = true; });
    ASSERT_TRUE(ui->runUntil([&] { return refreshed; }, 40.0));
    ASSERT_EQ(model->selectedDeviceID(), serial);
    ASSERT_TRUE(model->snapshot().lingguangInstalled);

    // scrcpy gets what it needs of the desktop session, and nothing else.
    bool started = false;
    {
        const test::ScopedEnvironment session({"DISPLAY=:7", "XAUTHORITY=/run/user/1000/xauth", "HOME=/home/user",
                                               "SDL_VIDEODRIVER=x11", "ANDROID_SERIAL=" + serial, "SECRET=leak"});
        model->startMirror(true, [&] { started = true; });
        ASSERT_TRUE(ui->runUntil([&] { return started; }, 20.0));
    }

    EXPECT_EQ(model->statusMessage(), "Mirror started for " + serial + ".");
    EXPECT_EQ(model->lastError(), std::nullopt);
    EXPECT_FALSE(model->isStarting());
    EXPECT_EQ(phone.services(), (Strings{pmService, monkeyService}));

    ASSERT_TRUE(test::eventually(
        [&] { return activityLog().find("stand-in scrcpy: ") != std::string::npos; }))
        << activityLog();
    EXPECT_EQ(test::readFile(dir / "scrcpy-arguments"),
              "--serial\n" + serial + "\n--window-title\nKelvane - " + serial + "\n");

    Strings environment;
    std::istringstream environmentText(test::readFile(dir / "scrcpy-environment"));
    for (std::string line; std::getline(environmentText, line);) {
#if !defined(__linux__)
        // What the shell itself exports when it must be asked with env.
        if (line.rfind("PWD=", 0) == 0 || line.rfind("OLDPWD=", 0) == 0 || line.rfind("SHLVL=", 0) == 0 ||
            line.rfind("_=", 0) == 0) {
            continue;
        }
#endif
        environment.push_back(line);
    }
    std::sort(environment.begin(), environment.end());
    const std::string path = "PATH=" + std::string(CommandRunner::childSearchPath);
#if defined(__linux__)
    EXPECT_EQ(environment, (Strings{"ADB=" + adb, "DISPLAY=:7", "HOME=/home/user", path, "SDL_VIDEODRIVER=x11",
                                    "XAUTHORITY=/run/user/1000/xauth"}));
#else
    EXPECT_EQ(environment, (Strings{"ADB=" + adb, path}));
#endif

    // What the phone printed reaches the log unchanged, through the real adb.
    const std::string monkeyText = phoneShellText(monkeyService.substr(std::string("shell:").size()));
    ASSERT_NE(monkeyText.find("Events injected: 1"), std::string::npos) << monkeyText;
    EXPECT_TRUE(test::isLogOf(activityLog(),
                              {"Diagnostics refreshed. Ready to mirror 1 authorized device(s).",
                               "Lingguang launch result: status=0 output=" + monkeyText,
                               "Launching scrcpy for device " + serial},
                              "stand-in scrcpy: --serial " + serial + " --window-title Kelvane - " + serial + "\n"))
        << activityLog();
    // Its end, told on the UI thread, follows.
    EXPECT_TRUE(ui->runUntil([&] { return activityLog().ends_with("] Mirror for " + serial + " ended.\n"); }));
}

TEST_F(EndToEnd, TheModelFollowsAPhoneThatComesIsApprovedAndGoesWithoutARefresh) {
    test::UIQueue ui;
    ViewModelServices services = test::realServices(places);
    services.onUIThread = [&](Task task) { ui.post(std::move(task)); };
    const auto model = DiagnosticsViewModel::create(services);
    model->followDevices(true);
    model->refresh();
    ASSERT_TRUE(ui.runUntil([&] { return model->isFollowingDevices() && model->operationsUnderWay() == 0; }, 40.0));

    const StandinPhone& phone = connectPhone(PhoneMode::unauthorized, true);
    const std::vector<AndroidDevice> listed{{phone.serial(), "unauthorized"}};
    EXPECT_TRUE(ui.runUntil([&] { return model->snapshot().devices == listed && !model->isRefreshing(); }, 10.0));
    phone.approve();
    EXPECT_TRUE(ui.runUntil([&] { return model->selectedDeviceID() == phone.serial() && !model->isRefreshing(); }, 10.0));
    phones.clear();
    EXPECT_TRUE(ui.runUntil([&] { return model->snapshot().devices.empty() && !model->isRefreshing(); }, 10.0));
    model->followDevices(false);
    EXPECT_TRUE(ui.runUntil([&] { return model->operationsUnderWay() == 0; })) << "nothing posts after the test";
}

// ---- kelvane-doctor --------------------------------------------------------

TEST_F(EndToEnd, TheBuiltDoctorFindsThePhoneFromItsFixedPlaces) {
    // The program has no seams: it finds adb and scrcpy where an installation
    // keeps them, and shares the one adb server with this test.
    const Places fixed = Places::standard();
    const auto fixedADB = DiagnosticsService::firstExecutable(fixed.adbCandidates);
    if (!fixedADB || canonicalPath(*fixedADB) != canonicalPath(adb)) {
        GTEST_SKIP() << "kelvane-doctor's fixed places do not hold the adb on the search path, " << adb;
    }
    const bool scrcpyInstalled = DiagnosticsService::firstExecutable(fixed.scrcpyCandidates).has_value();
    StandinPhone& phone = connectPhone(PhoneMode::authorized, true);

    const CommandResult result = CommandRunner::run(KELVANE_DOCTOR_PROGRAM, {}, 60.0);

    EXPECT_EQ(result.status, scrcpyInstalled ? doctor::readyStatus : doctor::notReadyStatus) << result.output;
    const std::string& out = result.output;
    EXPECT_NE(out.find("pass  ADB             System adb: " + *fixedADB + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("pass  Android Device  1 authorized device(s).\n"), std::string::npos) << out;
    EXPECT_NE(out.find("pass  Lingguang       Installed on selected device.\n"), std::string::npos) << out;
    const std::string summary = scrcpyInstalled ? "Ready to mirror 1 authorized device(s)." : "scrcpy is missing.";
    const std::string ending = "\n\n" + summary + "\nActivity log: " + CommandRunner::logInUse(fixed) + "\n\n" + devicesHeading + deviceList({{phone.serial(), "device"}}) +
                               "\n" + pmHeading + lingguangLine;
    ASSERT_GE(out.size(), ending.size()) << out;
    EXPECT_EQ(out.substr(out.size() - ending.size()), ending) << out;
    EXPECT_EQ(phone.services(), Strings{pmService});
}

} // namespace
} // namespace kelvane
