#include "KelvaneDoctor.h"

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>

namespace kelvane {
namespace {

using test::TempDir;
using nlohmann::json;

const std::string readyDevices = "List of devices attached\nS1\tdevice\n\n";
const std::string lingguangPackage = "com.antgroup.leopard.android";
const std::string lingguangPackageLine = "package:" + lingguangPackage + "\n";

// A machine of stand-ins, and kelvane-doctor run on it through its seam.
class Machine : public test::StandInMachine {
public:
    using StandInMachine::StandInMachine;

    struct Outcome {
        int status;
        std::string out;
        std::string err;
    };

    Outcome doctor(const std::vector<std::string>& arguments) const {
        std::ostringstream out, err;
        const int status = doctor::run("/usr/local/bin/kelvane-doctor", arguments, places, out, err);
        return {status, out.str(), err.str()};
    }
};

TEST(KelvaneDoctor, ReadyMachinePrintsRowsSummaryAndTranscript) {
    Machine machine;
    // Output without its last line feed gets one in the transcript.
    machine.installADB(readyDevices, "package:" + lingguangPackage);

    const auto outcome = machine.doctor({});

    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.out,
              "pass  ADB             Bundled adb: " + machine.adb.path() + "\n"
              "pass  scrcpy          " + (machine / "scrcpy") + "\n"
              "pass  Android Device  1 authorized device(s).\n"
              "pass  Lingguang       Installed on selected device.\n"
              "\n"
              "Ready to mirror 1 authorized device(s).\n"
              "Activity log: " + machine.places.logPath + "\n"
              "\n"
              "$ adb devices\n" + readyDevices + "\n"
              "$ adb shell pm list packages com.antgroup.leopard.android\n" + lingguangPackageLine);
    EXPECT_EQ(machine.adb.calls(),
              (std::vector<test::StandInADB::Call>{
                  {"start-server"}, {"devices"}, {"-s", "S1", "shell", "pm", "list", "packages", lingguangPackage}}));
}

TEST(KelvaneDoctor, ACommandKeptWaitingIsNamedOnceAndTheAdviceFitsATerminal) {
    Machine machine;
    machine.adb.answer("devices", {"List of devices attached\nS1\toffline\n", 0, 2.5});
    machine.adb.install();
    const auto outcome = machine.doctor({});
    EXPECT_EQ(outcome.err, "kelvane-doctor: waiting for adb devices, up to 10 s more\n");
    EXPECT_NE(outcome.out.find("Reconnect the cable, or run adb kill-server, then run kelvane-doctor again.\n"),
              std::string::npos) << outcome.out;
}

TEST(KelvaneDoctor, NotReadyMachinesExitWithOne) {
    struct Case {
        const char* name;
        bool adb;
        bool scrcpy;
        std::string devices;
        std::string summary;
        std::string firstFailure;
        std::string startServer = ""; // what adb start-server prints
    };
    const std::vector<Case> cases{
        {"no adb", false, true, readyDevices, "ADB is missing.", "fail  ADB "},
        {"no scrcpy", true, false, readyDevices, "scrcpy is missing.", "fail  scrcpy "},
        {"unauthorized phone", true, true, "List of devices attached\nS1\tunauthorized\n",
         "No authorized Android device.", "warn  Android Device  Device detected but not authorized."},
        {"no phone", true, true, "List of devices attached\n\n", "No authorized Android device.",
         "fail  Android Device  No USB device detected."},
        {"phone this user may not open", true, true,
         "List of devices attached\n0123456789ABCDEF\tno permissions (user in plugdev group; are your udev rules "
         "wrong?); see [http://developer.android.com/tools/device.html]\n\n",
         "No authorized Android device.",
#if defined(__linux__)
         "warn  Android Device  Device detected but this user may not open it. Install adb's udev rules or join the "
         "plugdev group, then reconnect the phone.\n"},
#else
         "warn  Android Device  Device detected but not authorized."},
#endif
        // What Debian's adb prints.
        {"two adb versions", true, true, "List of devices attached\nS1\tunauthorized\n\n", "No authorized Android device.",
         ". Another adb's server (version 40) ran here, and this adb (version 41) replaced it",
         "adb server version (40) doesn't match this client (41); killing...\n* daemon started successfully\n"},
        {"no adb server on adb's port", true, true,
         "adb: failed to check server version: protocol fault (couldn't read status): Connection reset by peer\n",
         "No authorized Android device.",
         "fail  Android Device  adb's server could not start: protocol fault (couldn't read status): Connection reset "
         "by peer. Close the program that holds adb's port",
         "error: protocol fault (couldn't read status): Connection reset by peer\n"},
    };
    for (const Case& c : cases) {
        Machine machine;
        if (c.adb) machine.installADB(c.devices, lingguangPackageLine);
        if (!c.startServer.empty()) machine.adb.answer("start-server", {c.startServer, 1});
        if (!c.scrcpy) machine.places.scrcpyCandidates = {machine / "none"};

        const auto outcome = machine.doctor({});

        EXPECT_EQ(outcome.status, 1) << c.name;
        EXPECT_EQ(outcome.err, "") << c.name;
        EXPECT_NE(outcome.out.find("\n\n" + c.summary + "\n"), std::string::npos) << c.name << "\n" << outcome.out;
        EXPECT_NE(outcome.out.find(c.firstFailure), std::string::npos) << c.name << "\n" << outcome.out;
        // Without adb there is no transcript, and the report ends with the summary.
        const bool transcript = outcome.out.find("$ adb devices\n") != std::string::npos;
        EXPECT_EQ(transcript, c.adb) << c.name;
        // adb start-server is shown when it tells of trouble.
        const bool startShown = outcome.out.find("$ adb start-server\n" + c.startServer) != std::string::npos;
        EXPECT_EQ(startShown, !c.startServer.empty()) << c.name << "\n" << outcome.out;
    }
}

TEST(KelvaneDoctor, JSONHoldsTheWholeSnapshot) {
    Machine machine;
    machine.installADB("List of devices attached\nLOCKED\tunauthorized\nS1\tdevice\n", lingguangPackageLine);

    const auto outcome = machine.doctor({"--json"});

    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    const json report = json::parse(outcome.out);
    EXPECT_EQ(report["adbPath"], machine.adb.path());
    EXPECT_EQ(report["adbSource"], "Bundled adb");
    EXPECT_EQ(report["scrcpyPath"], machine / "scrcpy");
    EXPECT_EQ(report["devices"], json::parse(R"([{"id":"LOCKED","state":"unauthorized","authorized":false},
                                                 {"id":"S1","state":"device","authorized":true}])"));
    EXPECT_EQ(report["selectedDeviceID"], "S1");
    EXPECT_EQ(report["lingguangInstalled"], true);
    EXPECT_EQ(report["lingguangDevices"], json::parse(R"(["S1"])"));
    EXPECT_EQ(report["summary"], "Ready to mirror 1 authorized device(s).");
    EXPECT_EQ(report["logPath"], machine.places.logPath);
    EXPECT_EQ(report["canStartMirror"], true);
    EXPECT_EQ(report["log"], "$ adb devices\nList of devices attached\nLOCKED\tunauthorized\nS1\tdevice\n\n"
                             "$ adb shell pm list packages com.antgroup.leopard.android\n" +
                                 lingguangPackageLine);
    ASSERT_EQ(report["checks"].size(), 4u);
    EXPECT_EQ(report["checks"][2]["title"], "Android Device");
    EXPECT_EQ(report["checks"][2]["state"], "pass");
    EXPECT_EQ(report["checks"][2]["detail"], "1 authorized device(s).");
    for (const auto& [row, id] : {std::pair{0, "adb"}, {1, "scrcpy"}, {2, "device"}, {3, "lingguang"}}) {
        EXPECT_EQ(report["checks"][row]["id"], id) << "stable for scripts to key on";
    }
}

TEST(KelvaneDoctor, JSONOfAMachineWithoutADB) {
    Machine machine;
    const auto outcome = machine.doctor({"--json", "--json"});
    EXPECT_EQ(outcome.status, 1);
    const json report = json::parse(outcome.out);
    EXPECT_TRUE(report["adbPath"].is_null());
    EXPECT_TRUE(report["selectedDeviceID"].is_null());
    EXPECT_EQ(report["devices"], json::array());
}

TEST(KelvaneDoctor, JSONSurvivesPathsThatAreNotUTF8) {
    Machine machine("Kelvane\xff.app");
    try {
        machine.installADB(readyDevices, lingguangPackageLine);
    } catch (const std::exception&) {
        GTEST_SKIP() << "this file system takes only UTF-8 names";
    }
    const auto outcome = machine.doctor({"--json"});
    EXPECT_EQ(outcome.status, 0);
    const json report = json::parse(outcome.out);
    const std::string path = report["adbPath"];
    EXPECT_NE(path.find("Kelvane\xef\xbf\xbd.app"), std::string::npos) << path; // U+FFFD
}

// Help, the version and unknown options are answered without a pass or a
// log: the status, what standard output holds (help: begins with), and what
// standard error begins with.
TEST(KelvaneDoctor, OptionsUsageAndVersion) {
    EXPECT_TRUE(std::regex_match(std::string(doctor::version()), std::regex(R"(\d+\.\d+\.\d+)"))) << doctor::version();
    const std::string version = "kelvane-doctor " + std::string(doctor::version()) + "\n";
    const std::string usage = "Usage: kelvane-doctor [--json] [--watch]\n";
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string out, err;
    } cases[] = {
        {{"--help"}, 0, usage, ""},
        {{"-h"}, 0, usage, ""},
        {{"--json", "--help"}, 0, usage, ""},
        {{"--help", "--version"}, 0, usage, ""},
        {{"--bogus"}, 2, "", "kelvane-doctor: unknown option '--bogus'\n"},
        {{"--json", "extra"}, 2, "", "kelvane-doctor: unknown option 'extra'\n"},
        {{"--JSON"}, 2, "", "kelvane-doctor: unknown option '--JSON'\n"},
        {{"--version"}, 0, version, ""},
        {{"--json", "--version"}, 0, version, ""},
        {{"--bogus", "--version"}, 0, version, ""},
        {{"--version", "--help"}, 0, version, ""},
    };
    for (const auto& c : cases) {
        Machine machine;
        machine.installADB(readyDevices, lingguangPackageLine);
        const auto outcome = machine.doctor(c.arguments);
        const std::string label = c.arguments.front() + " " + c.arguments.back();
        EXPECT_EQ(outcome.status, c.status) << label;
        EXPECT_EQ(c.out == usage ? outcome.out.substr(0, usage.size()) : outcome.out, c.out) << label;
        EXPECT_EQ(c.err.empty() ? outcome.err : outcome.err.substr(0, c.err.size()), c.err) << label;
        // An unknown option: the usage follows on standard error.
        EXPECT_EQ(outcome.err.find(usage) != std::string::npos, !c.err.empty()) << label << ": " << outcome.err;
        EXPECT_TRUE(machine.adb.calls().empty()) << label << ": no pass may run";
        EXPECT_FALSE(test::exists(machine.places.logPath)) << label;
    }
}

// ---- The built program ---------------------------------------------------

struct ProgramOutcome {
    int status;
    std::string out;
    std::string err;
};

ProgramOutcome runProgram(const std::string& arguments) {
    TempDir dir;
    const std::string command = std::string("'") + KELVANE_DOCTOR_PROGRAM + "' " + arguments + " >'" + (dir / "out") +
                                "' 2>'" + (dir / "err") + "' </dev/null";
    const int raw = std::system(command.c_str());
    const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return {status, test::readFile(dir / "out"), test::readFile(dir / "err")};
}

TEST(KelvaneDoctorProgram, HelpVersionAndUnknownOption) {
    // The options themselves are tested above; here, that the program passes them on.
    const auto unknown = runProgram("--verbose");
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.out, "");
    EXPECT_EQ(unknown.err.rfind("kelvane-doctor: unknown option '--verbose'\n\nUsage: kelvane-doctor", 0), 0u) << unknown.err;
    EXPECT_EQ(runProgram("--version").out, "kelvane-doctor " + std::string(doctor::version()) + "\n");
}

// ---- Scripts and terminals ----------------------------------------------------

TEST(KelvaneDoctor, PhoneTextCannotSteerTheTerminal) {
    Machine machine;
    machine.installADB(readyDevices, "package:com.antgroup.leopard.android\x1b]0;owned\x07\r\x7f\xc2\x9b" "2J\n");
    const auto text = machine.doctor({});
    EXPECT_NE(text.out.find("S1\tdevice\n"), std::string::npos) << "tabs and line feeds stay";
    EXPECT_NE(text.out.find("android\\x1b]0;owned\\x07\\x0d\\x7f\\xc2\\x9b2J\n"), std::string::npos) << text.out;
    EXPECT_EQ(text.out.find('\x1b'), std::string::npos);

    const std::string jsonText = machine.doctor({"--json"}).out;
    EXPECT_NE(jsonText.find("\\u001b]0;owned\\u0007\\r\\u007f\\u009b2J"), std::string::npos) << jsonText;
    EXPECT_NE(json::parse(jsonText)["log"].get<std::string>().find("\x1b]0;owned\x07\r\x7f\xc2\x9b"), std::string::npos);
}

// The built program, copied next to a stand-in adb at the bundled place,
// driven by a shell.
TEST(KelvaneDoctorProgram, KeepsAScriptsInputAndReportsAFullDisk) {
    TempDir dir;
    std::filesystem::copy_file(KELVANE_DOCTOR_PROGRAM, dir / "kelvane-doctor");
    ::chmod((dir / "kelvane-doctor").c_str(), 0755);
    // Like adb shell, the package query reads standard input to its end.
    test::writeScript(dir / "Contents/Resources/platform-tools/adb",
                      "case \"$1\" in\n"
                      "  devices) printf 'List of devices attached\\nS1\\tdevice\\n' ;;\n"
                      "  -s) cat >/dev/null ;;\n"
                      "esac\n");
    const std::string doctor = "'" + (dir / "kelvane-doctor") + "'";
    const auto shell = [&](const std::string& script) {
        const std::string command = "(" + script + ") >'" + (dir / "out") + "' 2>'" + (dir / "err") + "' </dev/null";
        const int raw = std::system(command.c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    };

    EXPECT_EQ(shell("printf 'one\\ntwo\\nthree\\n' | while read l; do " + doctor + " >/dev/null; echo $l; done"), 0);
    EXPECT_EQ(test::readFile(dir / "out"), "one\ntwo\nthree\n");

    for (const std::string arguments : {"", " --json", " --version"}) {
        EXPECT_EQ(shell(doctor + arguments + " >/dev/full"), doctor::unwrittenStatus) << arguments;
        EXPECT_EQ(test::readFile(dir / "err"), "kelvane-doctor: cannot write the report: No space left on device\n");
    }
}

TEST(KelvaneDoctorWatch, AReportALinePerChangeAndASignalAbandonsThePassUnderWay) {
    Machine machine;
    machine.installADB("List of devices attached\n\n");
    machine.adb.answer("version", {"Android Debug Bridge version 1.0.41\n"});
    test::StandInADBServer server;
    machine.places.adbServer = server.address();
    // Passes as the log counts them: one entry each.
    const auto passes = [&] { return test::lines(machine.activityLog()).size(); };
    std::ostringstream out, err;
    int status = -1;
    const auto watch = [&](doctor::Watch& watch, std::ostringstream& out, std::vector<std::string> arguments) {
        return std::thread([&, arguments] { status = doctor::run("kelvane-doctor", arguments, machine.places, out, err, &watch); });
    };
    doctor::Watch jsonWatch;
    std::thread doctor = watch(jsonWatch, out, {"--json", "--watch"});
    ASSERT_TRUE(test::eventually([&] { return server.trackings() == 1; }));

    machine.adb.answer("devices", {readyDevices});
    server.send({{"S1", "device"}});
    ASSERT_TRUE(test::eventually([&] { return passes() == 2; }));
    // A slow pass is under way when the signal comes.
    machine.adb.hold("devices");
    server.send({});
    ASSERT_TRUE(test::eventually([&] { return machine.adb.calls().size() == 8; }));
    const double stopped = test::now();
    jsonWatch.stop();
    doctor.join();

    EXPECT_LT(test::now() - stopped, 1.0);
    EXPECT_EQ(status, doctor::readyStatus) << "the last report's";
    EXPECT_EQ(err.str(), "");
    const std::vector<std::string> reports = test::lines(out.str());
    ASSERT_EQ(reports.size(), 2u) << out.str();
    EXPECT_EQ(json::parse(reports[0])["devices"], json::array());
    const std::string time = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d{4})";
    EXPECT_TRUE(std::regex_match(json::parse(reports[1])["time"].get<std::string>(), std::regex(time)));
    EXPECT_EQ(json::parse(reports[1])["selectedDeviceID"], "S1");
    EXPECT_EQ(passes(), 2u) << "the abandoned pass logged nothing";
    using Call = test::StandInADB::Call;
    EXPECT_EQ(machine.adb.calls(),
              (std::vector<Call>{{"start-server"}, {"devices"}, {"version"}, {"version"}, {"devices"},
                                 {"-s", "S1", "shell", "pm", "list", "packages", lingguangPackage}, {"version"}, {"devices"}}))
        << "only the first pass starts adb's server";

    // As text: each report begins with its time, and the next is set apart
    // by an empty line.
    machine.adb.release("devices");
    doctor::Watch textWatch;
    std::ostringstream text;
    doctor = watch(textWatch, text, {"--watch"});
    ASSERT_TRUE(test::eventually([&] { return server.trackings() == 2 && passes() == 3; }));
    server.send({});
    ASSERT_TRUE(test::eventually([&] { return passes() == 4; }));
    textWatch.stop();
    doctor.join();
    EXPECT_TRUE(std::regex_match(text.str(), std::regex(time + "\npass  ADB[^]*\n\n" + time + "\npass  ADB[^]*"))) << text.str();
    // A stop before the first report: nothing is printed, and the status says so.
    std::ostringstream none;
    EXPECT_EQ(doctor::run("kelvane-doctor", {"--watch"}, machine.places, none, err, &textWatch), doctor::stoppedStatus);
    EXPECT_EQ(none.str(), "");
}

#if defined(__linux__)
TEST(KelvaneDoctorLog, ASharedLogOnAFullDiskGivesWayToThePrivateOneAndTheReportNamesIt) {
    Machine machine;
    machine.installADB(readyDevices);
    const std::string full = machine / "full";
    std::filesystem::create_directory(full);
    if (::geteuid() != 0 || ::mount("tmpfs", full.c_str(), "tmpfs", 0, "size=16k") != 0) {
        GTEST_SKIP() << "no small file system of its own can be mounted here";
    }
    test::writeFile(full + "/kelvane-pro.log", std::string(16 * 1024, 'x'));
    machine.places.logPath = full + "/kelvane-pro.log";
    machine.places.privateLogBase = machine.path();
    machine.places.privateLogPath = machine / "private/kelvane-pro.log";

    const auto outcome = machine.doctor({});
    ::umount2(full.c_str(), MNT_DETACH);

    EXPECT_NE(outcome.out.find("\nActivity log: " + machine.places.privateLogPath + "\n"), std::string::npos) << outcome.out;
    EXPECT_TRUE(test::isLogOf(test::readFile(machine.places.privateLogPath),
                              {"Not using the shared activity log " + machine.places.logPath +
                                   ": No space left on device. This log takes its place for the rest of this run.",
                               "Diagnostics refreshed. Ready to mirror 1 authorized device(s)."}))
        << test::readFile(machine.places.privateLogPath);
}
#endif

// --pair and --connect against an adb that prints the real adb's messages
// (Debian's adb has no `adb pair`): each outcome, its advice and its status.
TEST(KelvaneDoctor, PairAndConnectTellEachOutcome) {
    const struct {
        std::string pairSays, connectSays, failure, message;
    } rows[] = {
        {"Successfully paired to 127.0.0.1:37099 [guid=adb-R5CT-x]\n", "connected to 127.0.0.1:40000\n", "none",
         "Paired and connected to 127.0.0.1:40000."},
        {"Failed: Wrong password or connection was dropped.\n", "", "wrong-code", "The phone did not accept the pairing code."},
        {"Failed: Unable to start pairing client.\n", "", "wrong-code", "The phone did not accept"},
        {"failed to connect to '127.0.0.1:37099': Connection refused\n", "", "pairing-closed", "The pairing port 127.0.0.1:37099 did not answer"},
        {"adb: unknown command pair\n", "", "pairing-unsupported", "Pairing needs a newer adb (platform-tools 30"},
        {"", "failed to connect to '127.0.0.1:40000': Connection timed out\n", "unreachable",
         "Could not reach 127.0.0.1:40000. Are the phone and this computer on the same network? Some guest"},
        {"", "failed to authenticate to 127.0.0.1:40000\n", "not-authorized", "127.0.0.1:40000 did not accept this"},
        {"", "failed to resolve host: 'phone.lan': Name or service not known\n", "unknown-host", "No address is known"},
        {"", "already connected to 127.0.0.1:40000\n", "none", "Connected to 127.0.0.1:40000."},
    };
    for (const auto& row : rows) {
        Machine machine;
        machine.installADB("List of devices attached\n\n");
        machine.adb.answer("pair", {row.pairSays, row.pairSays.find("Success") == 0 ? 0 : 1});
        machine.adb.answer("connect", {row.connectSays, 0}); // adb connect exits with 0 either way
        std::vector<std::string> arguments{"--json", "--connect", "127.0.0.1:40000"};
        if (!row.pairSays.empty()) arguments.insert(arguments.end(), {"--pair", "127.0.0.1:37099", "123456"});
        const auto outcome = machine.doctor(arguments);
        const auto report = nlohmann::json::parse(outcome.out);
        EXPECT_EQ(report["failure"], row.failure) << row.pairSays << row.connectSays;
        EXPECT_EQ(report["message"].get<std::string>().rfind(row.message, 0), 0u) << report["message"];
        EXPECT_EQ(outcome.status, row.failure == "none" ? doctor::readyStatus : doctor::wirelessFailedStatus);
        // The code reaches adb, and neither the report nor the log.
        EXPECT_EQ(machine.adb.calls().at(0).back(), row.pairSays.empty() ? "127.0.0.1:40000" : "123456");
        EXPECT_EQ((outcome.out + machine.activityLog()).find("123456"), std::string::npos);
    }
}

} // namespace
} // namespace kelvane
