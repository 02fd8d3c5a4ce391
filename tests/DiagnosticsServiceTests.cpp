#include "DiagnosticsService.h"

#include "CommandRunner.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvane {
namespace {

namespace fs = std::filesystem;
using namespace DiagnosticsService;
using test::TempDir;

using Strings = std::vector<std::string>;

// ---- Command lines -------------------------------------------------------

TEST(CommandLines, EveryWordIsItsOwnArgument) {
    EXPECT_EQ(startServerArguments(), Strings{"start-server"});
    EXPECT_EQ(devicesArguments(), Strings{"devices"});
    EXPECT_EQ(packageQueryArguments("R5 8M"),
              (Strings{"-s", "R5 8M", "shell", "pm", "list", "packages", "com.antgroup.leopard.android"}));
    EXPECT_EQ(lingguangLaunchArguments("emulator-5554"),
              (Strings{"-s", "emulator-5554", "shell", "monkey", "-p", "com.antgroup.leopard.android", "-c",
                       "android.intent.category.LAUNCHER", "1"}));
    EXPECT_EQ(scrcpyArguments("emulator-5554"),
              (Strings{"--serial", "emulator-5554", "--window-title", "Kelvane - emulator-5554"}));
    EXPECT_EQ(diagnosticsCommandTimeout, 12.0);
    EXPECT_EQ(lingguangLaunchTimeout, 8.0);
}

// ---- Tool discovery ------------------------------------------------------

TEST(ToolDiscovery, BundleRootOfAnExecutable) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"/Applications/Kelvane.app/Contents/MacOS/Kelvane", "/Applications/Kelvane.app"},
        {"/opt/Kelvane/Contents/MacOS/Kelvane", "/opt/Kelvane/Contents/MacOS"}, // not an application bundle
        {"/.app/Contents/MacOS/Kelvane", "/.app"},
        {"/usr/lib/kelvane/kelvane", "/usr/lib/kelvane"},
        {"/home/me/Contents/kelvane", "/home/me/Contents"},
        {"/Contents/MacOS/kelvane", "/Contents/MacOS"}, // no directory above Contents
        {"/kelvane", "/"},
        {"kelvane", ""},
        {"", ""},
    };
    for (const auto& [executable, root] : cases) {
        EXPECT_EQ(bundleRootForExecutable(executable), root) << executable;
    }
}

// The running program's own directory, fixed places, and the SDK's adb and
// the private log where the environment names them.
TEST(ToolDiscovery, StandardPlacesFollowTheEnvironment) {
    const test::ScopedEnvironment bare({});
    const Places places = Places::standard();
    EXPECT_EQ(places.bundleRoot, runningBundleRoot());
    EXPECT_TRUE(places.bundleRoot.starts_with('/') && fs::is_regular_file(places.bundleRoot + "/kelvane_tests")) << places.bundleRoot;
    EXPECT_EQ(places.logPath, "/tmp/kelvane-pro.log");
#if defined(__linux__)
    EXPECT_EQ(places.adbCandidates, (Strings{"/opt/homebrew/bin/adb", "/usr/local/bin/adb", "/usr/bin/adb"}));
    EXPECT_EQ(places.scrcpyCandidates, (Strings{"/opt/homebrew/bin/scrcpy", "/usr/local/bin/scrcpy",
                                                "/usr/bin/scrcpy", "/snap/bin/scrcpy"}));
#else
    EXPECT_EQ(places.adbCandidates, (Strings{"/opt/homebrew/bin/adb", "/usr/local/bin/adb"}));
    EXPECT_EQ(places.scrcpyCandidates, (Strings{"/opt/homebrew/bin/scrcpy", "/usr/local/bin/scrcpy"}));
#endif

    const test::ScopedEnvironment environment({"HOME=/home/u", "ANDROID_HOME=/sdk", "ANDROID_SDK_ROOT=relative/sdk",
                                               "XDG_RUNTIME_DIR=/run/user/7", "TMPDIR=/var/T/",
                                               "PATH=/home/u/platform-tools:bin:/usr/bin/"});
    const Places named = Places::standard();
#if defined(__linux__)
    EXPECT_EQ(named.adbOnSearchPath, (Strings{"/home/u/platform-tools/adb", "/usr/bin/adb"}));
    EXPECT_EQ(named.adbCandidates, (Strings{"/opt/homebrew/bin/adb", "/usr/local/bin/adb", "/sdk/platform-tools/adb",
                                             "/home/u/Android/Sdk/platform-tools/adb", "/usr/bin/adb"}));
    EXPECT_EQ(named.privateLogPath, "/run/user/7/kelvane-pro.log");
#else
    EXPECT_EQ(named.adbCandidates, (Strings{"/opt/homebrew/bin/adb", "/usr/local/bin/adb",
                                            "/home/u/Library/Android/sdk/platform-tools/adb"}));
    EXPECT_EQ(named.privateLogPath, "/var/T/kelvane-pro.log");
#endif
}

// A directory of candidate files of every kind.
class CandidateDir : public TempDir {
public:
    CandidateDir() {
        test::writeScript(*this / "exec1", "exit 0\n");
        test::writeScript(*this / "exec2", "exit 0\n");
        test::writeFile(*this / "plain", "not a program\n", 0644);
        fs::create_directory(*this / "dir");
        ::chmod((*this / "dir").c_str(), 0755);
        fs::create_symlink(*this / "exec2", *this / "link-to-exec");
        fs::create_symlink(*this / "plain", *this / "link-to-plain");
        fs::create_symlink(*this / "gone", *this / "dangling");
        fs::create_symlink(*this / "dir", *this / "link-to-dir");
    }
};

TEST(ToolDiscovery, FirstExecutableTakesTheFirstRunnableCandidateAsGiven) {
    CandidateDir d;
    struct Case {
        const char* name;
        Strings candidates;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases{
        {"empty list", {}, std::nullopt},
        {"nothing exists", {d / "none", d / "gone"}, std::nullopt},
        {"list order wins", {d / "exec2", d / "exec1"}, d / "exec2"},
        {"missing skipped", {d / "none", d / "exec1"}, d / "exec1"},
        {"no execute permission skipped", {d / "plain", d / "exec2"}, d / "exec2"},
        {"directory skipped", {d / "dir", d / "link-to-dir", d / "exec1"}, d / "exec1"},
        {"link returned as the link", {d / "link-to-exec", d / "exec1"}, d / "link-to-exec"},
        {"link to non-executable skipped", {d / "link-to-plain", d / "exec1"}, d / "exec1"},
        {"dangling link skipped", {d / "dangling"}, std::nullopt},
        {"not normalised", {d.path() + "//./exec1"}, d.path() + "//./exec1"},
        {"empty text skipped", {"", d / "exec1"}, d / "exec1"},
    };
    for (const Case& c : cases) EXPECT_EQ(firstExecutable(c.candidates), c.expected) << c.name;
}

TEST(ToolDiscovery, NothingIsRemembered) {
    TempDir dir;
    const Strings candidates{dir / "scrcpy"};
    EXPECT_EQ(firstExecutable(candidates), std::nullopt);
    test::writeScript(dir / "scrcpy", "exit 0\n");
    EXPECT_EQ(firstExecutable(candidates), dir / "scrcpy");
    fs::remove(dir / "scrcpy");
    EXPECT_EQ(firstExecutable(candidates), std::nullopt);

    Places places{dir / "Kelvane.app", {dir / "system-adb"}, {}, dir / "log"};
    EXPECT_EQ(findADBPath(places), std::nullopt);
    test::writeScript(dir / "system-adb", "exit 0\n");
    EXPECT_EQ(findADBPath(places), dir / "system-adb");
}

TEST(ToolDiscovery, FindADBPathPrefersTheBundledCopy) {
    TempDir dir;
    const std::string app = dir / "Kelvane.app";
    const std::string bundled = app + "/Contents/Resources/platform-tools/adb";
    test::writeScript(dir / "homebrew-adb", "exit 0\n");
    test::writeScript(dir / "local-adb", "exit 0\n");
    const Places places{app, {dir / "homebrew-adb", dir / "local-adb"}, {}, dir / "log"};

    // Not there yet: the fixed places, in order.
    EXPECT_EQ(findADBPath(places), dir / "homebrew-adb");
    EXPECT_EQ(adbSourceLabel(findADBPath(places)), "System adb");

    test::writeFile(bundled, "#!/bin/sh\nexit 0\n", 0644);
    EXPECT_EQ(findADBPath(places), dir / "homebrew-adb") << "a bundled copy that may not run is skipped";

    ::chmod(bundled.c_str(), 0755);
    EXPECT_EQ(findADBPath(places), bundled);
    EXPECT_EQ(adbSourceLabel(findADBPath(places)), "Bundled adb");

    // A bundle root given with a trailing slash names the same copy.
    EXPECT_EQ(findADBPath(Places{app + "/", {}, {}, ""}), bundled);

    fs::remove(dir / "homebrew-adb");
    fs::remove(bundled);
    EXPECT_EQ(findADBPath(places), dir / "local-adb");
    fs::remove(dir / "local-adb");
    EXPECT_EQ(findADBPath(places), std::nullopt);

    // Last, the search path's, told by its own label.
    Places searched = places;
    searched.adbOnSearchPath = {dir / "missing/adb", dir / "platform-tools/adb"};
    test::writeScript(dir / "platform-tools/adb", "exit 0\n");
    EXPECT_EQ(findADBPath(searched), dir / "platform-tools/adb");
    EXPECT_EQ(adbSourceLabel(findADBPath(searched), searched), "adb on PATH");
    searched.adbCandidates.push_back(dir / "platform-tools/adb");
    EXPECT_EQ(adbSourceLabel(findADBPath(searched), searched), "System adb");
}

// A bundle not ending in .app is used but labelled System; an unknown one
// never means the working directory.
TEST(ToolDiscovery, ABundlesCopyIsFoundOnlyBelowAKnownRoot) {
    TempDir dir;
    test::writeScript(dir / "Contents/Resources/platform-tools/adb", "exit 0\n");
    const auto found = findADBPath(Places{dir.path(), {}, {}, ""});
    EXPECT_EQ(found, dir / "Contents/Resources/platform-tools/adb");
    EXPECT_EQ(adbSourceLabel(found), "System adb");
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    EXPECT_EQ(findADBPath(Places{"", {}, {}, ""}), std::nullopt);
    fs::current_path(previous);
}

TEST(ToolDiscovery, SourceLabelIsDecidedByThePathText) {
    const std::vector<std::pair<std::optional<std::string>, std::string>> cases{
        {std::nullopt, "Missing"},
        {"/Applications/Kelvane.app/Contents/Resources/platform-tools/adb", "Bundled adb"},
        {"/opt/homebrew/bin/adb", "System adb"},
        {"/usr/bin/adb", "System adb"},
        {"", "System adb"},
        {"/x/Kelvane.APP/Contents/Resources/platform-tools/adb", "System adb"}, // case-sensitive
        {"/x/Kelvane/Contents/Resources/platform-tools/adb", "System adb"},
        {"/x.app/Contents/Resources/platform-tools/adb.old", "Bundled adb"}, // anywhere in the text
    };
    for (const auto& [path, label] : cases) EXPECT_EQ(adbSourceLabel(path), label) << path.value_or("<none>");
}

// ---- Device list ---------------------------------------------------------

struct ParseCase {
    const char* name;
    std::string output;
    std::vector<AndroidDevice> expected;
};

// What adb printed when its server could not start (its port was taken).
const std::string failedServerOutput =
    "* daemon not running; starting now at tcp:5199\n"
    "ADB server didn't ACK\n"
    "Full server startup log: /tmp/adb.0.log\n"
    "Server had pid: 21109\n"
    "--- adb starting (pid 21109) ---\n"
    "adb I 12-07 11:16:35 21109 21109 main.cpp:60] Android Debug Bridge version 1.0.41\n"
    "adb I 12-07 11:16:35 21109 21109 main.cpp:60] Version 29.0.6-debian\n"
    "adb I 12-07 11:16:35 21109 21109 main.cpp:60] Installed as /usr/lib/android-sdk/platform-tools/adb\n"
    "adb I 12-07 11:16:35 21109 21109 main.cpp:60] \n"
    "adb F 12-07 11:16:36 21109 21109 main.cpp:144] could not install *smartsocket* listener: Address already in use\n"
    "\n"
    "* failed to start daemon\n"
    "adb: failed to check server version: cannot connect to daemon\n";

TEST(ParseDevices, Table) {
    const std::string list = "List of devices attached\n";
    const std::vector<ParseCase> cases{
        {"empty text", "", {}},
        {"heading only", list, {}},
        {"heading and blank lines", list + "\n\n", {}},
        {"usual output", list + "R58M123\tdevice\n\n", {{"R58M123", "device"}}},
        {"no final line feed", list + "R58M123\tdevice", {{"R58M123", "device"}}},
        {"several spaces, leading and trailing blanks", list + "   R58M  \t  unauthorized \t \n",
         {{"R58M", "unauthorized"}}},
        {"extra fields ignored", list + "R58M device usb:1-1 product:x model:Pixel_7 transport_id:1\n",
         {{"R58M", "device"}}},
        {"one-word line skipped, later lines kept", list + "lonely\nR58M\toffline\n", {{"R58M", "offline"}}},
        {"empty lines before the heading", "\n\n" + list + "A\tdevice\n", {{"A", "device"}}},
        {"a line of blanks before the heading", " \t \n" + list + "A\tdevice\n", {{"A", "device"}}},
        {"older adb's heading ends in a blank", "List of devices attached \nA\tdevice\n", {{"A", "device"}}},
        {"without the heading nothing is a device", "A\tdevice\nB\tdevice\n", {}},
        {"a heading with more words is none", "List of devices attached:\nA\tdevice\n", {}},
        {"the server's notices before the heading are no devices",
         "* daemon not running; starting now at tcp:5037\n* daemon started successfully\n" + list + "A\tdevice\n",
         {{"A", "device"}}},
        {"a server that failed to start lists nothing", failedServerOutput, {}},
        {"lines after the heading follow the field rules; a repeated heading is none",
         list + "A\tdevice\nodd line\n" + list + "B\toffline\n",
         {{"A", "device"}, {"odd", "line"}, {"B", "offline"}}},
        {"adb's notices after the heading are no devices either (a server of another version replaced meanwhile)",
         list + "adb server version (41) doesn't match this client (39); killing...\n* daemon started successfully\n"
                "0123456789abcdef\tunauthorized usb:1-1\nadb: error: x\nerror: y z\n87654321\tdevice usb:2-1\n",
         {{"0123456789abcdef", "unauthorized"}, {"87654321", "device"}}},
        {"a serial may hold a star, only not a star and a blank", list + "*1\tdevice\n", {{"*1", "device"}}},
        {"duplicates kept in order", list + "A\tdevice\nB\toffline\nA\tdevice\n",
         {{"A", "device"}, {"B", "offline"}, {"A", "device"}}},
        {"state copied as printed", list + "A\tDevice\nB\tno permissions;\n", {{"A", "Device"}, {"B", "no"}}},
        // Bytes: carriage returns are neither line nor field separators.
        // Text from Windows: a CR before the line feed ends the line with it.
        {"CRLF line ends", "List of devices attached\r\nA\tdevice\r\nB\toffline \r\n\r\n",
         {{"A", "device"}, {"B", "offline"}}},
        {"lone CR stays inside its field", list + "A\rB\tdevice\n", {{"A\rB", "device"}}},
        {"other white space is no separator", list + "A\vB\fC device\n", {{"A\vB\fC", "device"}}},
    };
    for (const ParseCase& c : cases) EXPECT_EQ(parseDevices(c.output), c.expected) << c.name;
}

TEST(TrackedDeviceLists, FramesAreTakenWholeAndAnythingButAdbsListsIsRefused) {
    using Lists = std::vector<std::vector<AndroidDevice>>;
    const struct {
        std::string stream;
        std::optional<Lists> lists;
        std::string left;
    } cases[] = {
        {"0000", Lists{{}}, ""},
        {"000cSER1\tdevice\n0019SER1\tdevice\nSER2\toffline\n00",
         Lists{{{"SER1", "device"}}, {{"SER1", "device"}, {"SER2", "offline"}}}, "00"},
        {"000cSER1\tdev", Lists{}, "000cSER1\tdev"},
        {"00", Lists{}, "00"},
        {"* daemon started\n", std::nullopt, "* daemon started\n"},
        {"000bhello world", std::nullopt, "000bhello world"},
    };
    for (const auto& c : cases) {
        std::string stream = c.stream;
        EXPECT_EQ(takeDeviceLists(stream), c.lists) << c.stream;
        EXPECT_EQ(stream, c.left) << c.stream;
    }
    EXPECT_EQ(adbProtocolVersion("Android Debug Bridge version 1.0.41\nVersion 29.0.6-debian\n"), 41);
    EXPECT_EQ(adbProtocolVersion("Android Debug Bridge version 1.0.\n"), std::nullopt);
}

TEST(ADBServerAddress, AdbsVariablesSayWhereItsServerListens) {
    const struct {
        const char *socket, *host, *port;
        ADBServerAddress expected;
    } cases[] = {
        {nullptr, nullptr, nullptr, {"", 5037, "", true}},
        {"tcp:5038", "10.0.0.1", "6000", {"", 5038, "", true}},
        {"tcp:[::1]:5039", nullptr, nullptr, {"::1", 5039, "", true}},
        {"localfilesystem:/run/adb", nullptr, nullptr, {"", 5037, "/run/adb", true}},
        {"vsock:1:2", nullptr, nullptr, {"", 5037, "", false}},
        {nullptr, "10.0.0.1", "6000", {"10.0.0.1", 6000, "", true}},
        {nullptr, nullptr, "65536", {"", 0, "", false}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ADBServerAddress::fromVariables(c.socket, c.host, c.port), c.expected) << (c.socket ? c.socket : "-");
    }
}


// ---- Checklist -----------------------------------------------------------

#if defined(__linux__)
constexpr const char* scrcpyMissing = "Missing. Install with: sudo apt install scrcpy";
#else
constexpr const char* scrcpyMissing = "Missing. Install with: brew install scrcpy";
#endif
#if defined(__linux__)
constexpr const char* adbMissing = "Missing. Install with: sudo apt install adb";
#else
constexpr const char* adbMissing = "Missing. Install Android Platform-Tools or bundle platform-tools/adb.";
#endif
constexpr const char* phonesUnchecked = "adb is missing, so phones cannot be checked.";
constexpr const char* noDevice =
    "No USB device detected. Connect phone, enable USB debugging, and approve the prompt.";
constexpr const char* notAuthorized = "Device detected but not authorized. Approve USB debugging on the phone.";
#if defined(__linux__)
constexpr const char* noPermission = "Device detected but this user may not open it. Install adb's udev rules or "
                                     "join the plugdev group, then reconnect the phone.";
#else
constexpr const char* noPermission = notAuthorized;
#endif
constexpr const char* lingguangMissing = "Not installed or no selected device. Normal mirroring still works.";
constexpr const char* lingguangFound = "Installed on selected device.";

struct Row {
    CheckState state;
    std::string detail;
};

void expectRows(const std::vector<CheckItem>& checks, const std::vector<Row>& rows, const char* name) {
    const std::vector<std::string> titles{"ADB", "scrcpy", "Android Device", "Lingguang"};
    ASSERT_EQ(checks.size(), 4u) << name;
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(checks[i].title(), titles[i]) << name;
        EXPECT_EQ(rawValue(checks[i].state()), rawValue(rows[i].state)) << name << " row " << i + 1;
        EXPECT_EQ(checks[i].detail(), rows[i].detail) << name << " row " << i + 1;
    }
}

TEST(MakeChecks, Table) {
    struct Case {
        const char* name;
        DiagnosticsSnapshot snapshot;
        std::vector<Row> rows;
    };
    auto snapshot = [](std::optional<std::string> adb, std::string source, std::optional<std::string> scrcpy,
                       std::vector<AndroidDevice> devices, bool lingguang) {
        DiagnosticsSnapshot s;
        s.adbPath = std::move(adb);
        s.adbSource = std::move(source);
        s.scrcpyPath = std::move(scrcpy);
        s.devices = std::move(devices);
        s.lingguangInstalled = lingguang;
        return s;
    };
    const std::vector<Case> cases{
        {"everything found",
         snapshot("/x.app/Contents/Resources/platform-tools/adb", "Bundled adb", "/usr/bin/scrcpy", {{"A", "device"}},
                  true),
         {{CheckState::pass, "Bundled adb: /x.app/Contents/Resources/platform-tools/adb"},
          {CheckState::pass, "/usr/bin/scrcpy"},
          {CheckState::pass, "1 authorized device(s)."},
          {CheckState::pass, lingguangFound}}},
        {"initial snapshot",
         DiagnosticsSnapshot::initial(),
         {{CheckState::fail, adbMissing}, {CheckState::fail, scrcpyMissing}, {CheckState::fail, phonesUnchecked},
          {CheckState::warn, lingguangMissing}}},
        {"two of three authorized",
         snapshot("/usr/bin/adb", "System adb", std::nullopt, {{"A", "device"}, {"B", "no"}, {"C", "device"}},
                  false),
         {{CheckState::pass, "System adb: /usr/bin/adb"}, {CheckState::fail, scrcpyMissing},
          {CheckState::pass, "2 authorized device(s)."}, {CheckState::warn, lingguangMissing}}},
        {"listed but none authorized, adb absent",
         snapshot(std::nullopt, "Missing", "/s", {{"A", "unauthorized"}, {"B", "Device"}}, false),
         {{CheckState::fail, adbMissing}, {CheckState::pass, "/s"}, {CheckState::warn, notAuthorized},
          {CheckState::warn, lingguangMissing}}},
        {"none authorized, one this user may not open",
         snapshot("/adb", "System adb", "/s", {{"A", "unauthorized"}, {"B", "no"}}, false),
         {{CheckState::pass, "System adb: /adb"}, {CheckState::pass, "/s"}, {CheckState::warn, noPermission},
          {CheckState::warn, lingguangMissing}}},
        {"rows are judged independently",
         snapshot(std::nullopt, "Missing", std::nullopt, {{"A", "device"}}, true),
         {{CheckState::fail, adbMissing}, {CheckState::fail, scrcpyMissing},
          {CheckState::pass, "1 authorized device(s)."}, {CheckState::pass, lingguangFound}}},
    };
    for (const Case& c : cases) expectRows(makeChecks(c.snapshot), c.rows, c.name);

    // Row 3 for phones adb lists but cannot use, and for adb's own trouble:
    // how each detail begins.
    struct AdviceCase {
        std::vector<AndroidDevice> devices;
        ADBTrouble trouble;
        USBFinding usb;
        std::string detail;
        bool withoutADB = false; // the bus alone speaks
    };
    const std::vector<AdviceCase> advice{
        {{{"A", "offline"}}, {}, {}, "Device detected but offline. Reconnect the cable, or run adb kill-server"},
        {{{"A", "authorizing"}}, {}, {}, "Device is waiting for approval. Approve USB debugging on the phone"},
        {{{"A", "recovery"}}, {}, {}, "Device detected in recovery mode, not Android. Restart the phone into Android."},
        // Several states: the one most in need of the user's action first.
        {{{"A", "rescue"}, {"B", "offline"}, {"C", "unauthorized"}}, {}, {}, notAuthorized},
        {{{"A", "offline"}, {"B", "authorizing"}}, {}, {}, "Device is waiting for approval."},
        {{{"A", "recovery"}, {"B", "offline"}}, {}, {}, "Device detected but offline."},
        {{{"A", "connecting"}}, {}, {}, notAuthorized},
        // Phones over the network: no word of USB or a cable, unless a USB one shares the state.
        {{{"10.0.0.9:5555", "unauthorized"}, {"B", "offline"}}, {}, {}, "Device detected but not authorized. Approve on the phone."},
        {{{"10.0.0.9:5555", "unauthorized"}, {"B", "unauthorized"}}, {}, {}, notAuthorized},
        {{{"10.0.0.9:5555", "offline"}}, {}, {}, "Device detected but offline. Check that the phone is on the same network"},
        {{{"10.0.0.9:5555", "connecting"}}, {}, {}, "Device detected but not authorized. Approve on the phone."},
        {{}, {.noAnswer = true}, USBFinding::debuggingOffered, "adb did not answer within 12 seconds. Run adb kill-server"},
        {{}, {.serverFailure = "ADB server didn't ACK"}, {}, "adb's server could not start: ADB server didn't ACK. Close the"},
        {{}, {.noAnswer = true, .serverFailure = "x"}, {}, "adb did not answer within"},
        // What holds adb's port, where known, instead of adb kill-server.
        {{}, {.noAnswer = true, .portHolder = PortHolder{5037, "/opt/sdk/adb", 4242, std::nullopt}}, {},
         "adb did not answer within 12 seconds. adb's port 5037 is held by /opt/sdk/adb (pid 4242). End that program "
         "(or, if it is another tool's adb, use that same adb for every tool), then press Refresh."},
        {{}, {.serverFailure = "Address already in use", .portHolder = PortHolder{5037, "/usr/bin/python3", 7, 39}}, {},
         "adb's server could not start: Address already in use. adb's port 5037 is held by /usr/bin/python3 (pid 7, "
         "version 39). End that program"},
        {{}, {}, USBFinding::debuggingOffered, "A phone offers USB debugging, but adb does not list it. Another adb server"},
        {{}, {}, USBFinding::fileTransferOnly, "A USB device for file or photo transfer is attached, but none offers USB"},
        {{}, {}, USBFinding::fastboot, "A phone in fastboot (bootloader) mode is attached. Restart it into Android."},
        {{}, {}, USBFinding::fastboot, "A phone in fastboot (bootloader) mode is attached. Restart", true},
        {{}, {}, USBFinding::debuggingOffered, "A phone offering USB debugging is attached, but adb is missing: install adb first.", true},
        {{}, {}, USBFinding::fileTransferOnly, phonesUnchecked, true},
    };
    for (const AdviceCase& c : advice) {
        DiagnosticsSnapshot s = c.withoutADB ? DiagnosticsSnapshot::initial() : snapshot("/adb", "System adb", "/s", c.devices, false);
        s.adbTrouble = c.trouble;
        s.usb = c.usb;
        const CheckItem row = makeChecks(s).at(2);
        EXPECT_EQ(row.state(), c.devices.empty() ? CheckState::fail : CheckState::warn) << c.detail;
        EXPECT_EQ(row.detail().substr(0, c.detail.size()), c.detail);
    }
    // Row 1 when two adb versions fight.
    DiagnosticsSnapshot clash = snapshot("/adb", "System adb", "/s", {{"A", "device"}}, false);
    clash.adbTrouble.versionClash = std::make_pair("41", "39");
    expectRows(makeChecks(clash),
               {{CheckState::warn, "System adb: /adb. Another adb's server (version 41) ran here, and this adb (version "
                                   "39) replaced it: two adb versions stop each other's servers. Use one adb for every tool."},
                {CheckState::pass, "/s"}, {CheckState::pass, "1 authorized device(s)."}, {CheckState::warn, lingguangMissing}},
               "two adb versions");
}

TEST(CanStartMirror, NeedsBothToolsAndAnAuthorizedDevice) {
    struct Case {
        std::optional<std::string> adb, scrcpy;
        std::vector<AndroidDevice> devices;
        bool expected;
    };
    const std::vector<Case> cases{
        {"/adb", "/scrcpy", {{"A", "device"}}, true},
        {"", "", {{"A", "device"}}, true}, // any present path counts
        {std::nullopt, "/scrcpy", {{"A", "device"}}, false},
        {"/adb", std::nullopt, {{"A", "device"}}, false},
        {"/adb", "/scrcpy", {{"A", "unauthorized"}}, false},
        {"/adb", "/scrcpy", {}, false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        DiagnosticsSnapshot s;
        s.adbPath = cases[i].adb;
        s.scrcpyPath = cases[i].scrcpy;
        s.devices = cases[i].devices;
        EXPECT_EQ(canStartMirror(s), cases[i].expected) << "case " << i;
    }
}

// ---- The pass ------------------------------------------------------------

const std::string devicesHeading = "$ adb devices\n";
const std::string pmHeading = "$ adb shell pm list packages com.antgroup.leopard.android\n";

using test::StandInMachine;
using Calls = std::vector<test::StandInADB::Call>;

const Strings startServerCall{"start-server"};
const Strings devicesCall{"devices"};
Strings pmCall(const std::string& serial) {
    return {"-s", serial, "shell", "pm", "list", "packages", "com.antgroup.leopard.android"};
}

void expectLogEntry(const std::string& log, const std::string& message) {
    EXPECT_TRUE(test::isLogOf(log, {message})) << "activity log: " << log;
}

TEST(BuildSnapshot, WithoutADBNoCommandRuns) {
    StandInMachine machine;
    // A bundled copy that may not be executed, and no other adb.
    machine.installADB("");
    ::chmod(machine.adb.path().c_str(), 0644);
    machine.places.adbCandidates = {machine / "no-adb-here"};

    const double started = test::now();
    const DiagnosticsSnapshot snapshot = buildSnapshot(machine.places);
    EXPECT_LT(test::now() - started, 2.0);

    EXPECT_EQ(machine.adb.calls(), Calls{});
    EXPECT_EQ(snapshot.adbPath, std::nullopt);
    EXPECT_EQ(snapshot.adbSource, "Missing");
    EXPECT_EQ(snapshot.scrcpyPath, machine / "scrcpy") << "scrcpy is looked for without adb too";
    EXPECT_TRUE(snapshot.devices.empty());
    EXPECT_EQ(snapshot.selectedDeviceID, std::nullopt);
    EXPECT_FALSE(snapshot.lingguangInstalled);
    EXPECT_EQ(snapshot.log, "");
    expectRows(snapshot.checks,
               {{CheckState::fail, adbMissing}, {CheckState::pass, machine / "scrcpy"}, {CheckState::fail, phonesUnchecked},
                {CheckState::warn, lingguangMissing}},
               "no adb");
    expectLogEntry(machine.activityLog(), "Diagnostics refreshed. ADB is missing.");
}

TEST(BuildSnapshot, UnauthorizedDeviceOnly) {
    StandInMachine machine;
    const std::string devices = "List of devices attached\nR58M\tunauthorized\n\n";
    machine.installADB(devices);
    machine.adb.answer("start-server", {"* daemon started successfully\n", 1});

    const DiagnosticsSnapshot snapshot = buildSnapshot(machine.places);

    EXPECT_EQ(machine.adb.calls(), (Calls{startServerCall, devicesCall}));
    EXPECT_EQ(snapshot.adbPath, machine.adb.path());
    EXPECT_EQ(snapshot.adbSource, "Bundled adb");
    EXPECT_EQ(snapshot.devices, (std::vector<AndroidDevice>{{"R58M", "unauthorized"}}));
    EXPECT_EQ(snapshot.selectedDeviceID, std::nullopt);
    EXPECT_FALSE(snapshot.lingguangInstalled);
    EXPECT_EQ(snapshot.log, devicesHeading + devices) << "start-server's output never reaches the transcript";
    EXPECT_EQ(snapshot.summary(), "No authorized Android device.");
    EXPECT_EQ(snapshot.checks.at(2).state(), CheckState::warn);
    expectLogEntry(machine.activityLog(), "Diagnostics refreshed. No authorized Android device.");
}

TEST(BuildSnapshot, EveryAuthorizedDeviceIsAskedOnceAndTheChecklistFollowsTheChoice) {
    StandInMachine machine;
    const std::string devices = "List of devices attached\nLOCKED\tunauthorized\nFIRST\tdevice\nSECOND\tdevice\nFIRST\tdevice\n";
    const std::string pm = "package:com.antgroup.leopard.android\n";
    machine.installADB(devices, "");
    machine.adb.answer("pm@SECOND", {pm});
    test::writeFile(machine.places.logPath, "earlier entry\n");

    const DiagnosticsSnapshot snapshot = buildSnapshot(machine.places);

    EXPECT_EQ(machine.adb.calls(), (Calls{startServerCall, devicesCall, pmCall("FIRST"), pmCall("SECOND")}));
    EXPECT_EQ(snapshot.selectedDeviceID, "FIRST");
    EXPECT_FALSE(snapshot.lingguangInstalled);
    EXPECT_EQ(snapshot.lingguangDevices, Strings{"SECOND"});
    EXPECT_EQ(snapshot.log, devicesHeading + devices + "\n$ adb -s FIRST shell pm list packages com.antgroup.leopard.android\n"
                                                     "\n$ adb -s SECOND shell pm list packages com.antgroup.leopard.android\n" + pm);
    EXPECT_EQ(snapshot.summary(), "Ready to mirror 3 authorized device(s).");
    expectRows(snapshot.checks,
               {{CheckState::pass, "Bundled adb: " + machine.adb.path()},
                {CheckState::pass, machine / "scrcpy"},
                {CheckState::pass, "3 authorized device(s)."},
                {CheckState::warn, lingguangMissing}},
               "three authorized");
    EXPECT_EQ(judgedFor(snapshot, "SECOND").checks.at(3).detail(), lingguangFound);
    EXPECT_EQ(judgedFor(judgedFor(snapshot, "SECOND"), std::nullopt).checks.at(3).detail(), lingguangMissing);
    DiagnosticsSnapshot secondChosen = snapshot; // no phone picked: the pass's choice is judged
    secondChosen.selectedDeviceID = "SECOND";
    EXPECT_EQ(judgedFor(secondChosen, std::nullopt).checks.at(3).detail(), lingguangFound);

    const std::string log = machine.activityLog();
    ASSERT_EQ(log.rfind("earlier entry\n", 0), 0u) << log;
    expectLogEntry(log.substr(14), "Diagnostics refreshed. Ready to mirror 3 authorized device(s).");
}

TEST(BuildSnapshot, LingguangIsFoundByItsOwnPackageLineNotByALongerName) {
    const std::vector<std::pair<std::string, bool>> cases{
        {"package:com.antgroup.leopard.android\n", true},
        {"package:com.antgroup.leopard.android.beta\npackage:com.antgroup.leopard.android\r\n", true},
        {"package:com.antgroup.leopard.android.beta\n", false},
        {"noise com.antgroup.leopard.android noise", false},
        {"", false},
        {"Error: could not access the Package Manager.  Is the system running?\n", false},
        {"package:com.antgroup.leopard\n", false},
        {"package:COM.ANTGROUP.LEOPARD.ANDROID\n", false},
    };
    for (const auto& [pm, installed] : cases) {
        StandInMachine machine;
        machine.installADB("List of devices attached\nS1\tdevice\n", pm);
        const DiagnosticsSnapshot snapshot = buildSnapshot(machine.places);
        EXPECT_EQ(snapshot.lingguangInstalled, installed) << pm;
        EXPECT_EQ(snapshot.selectedDeviceID, "S1");
        EXPECT_EQ(snapshot.checks.at(3).state(), installed ? CheckState::pass : CheckState::warn) << pm;
    }
}

TEST(BuildSnapshot, BlankLinesStayInTheTranscript) {
    StandInMachine machine;
    const std::string devices = "List of devices attached\nS1\tdevice\n\n\n";
    machine.installADB(devices, "");
    const DiagnosticsSnapshot snapshot = buildSnapshot(machine.places);
    EXPECT_EQ(snapshot.log, "$ adb devices\nList of devices attached\nS1\tdevice\n\n\n\n" + pmHeading);
}

TEST(BuildSnapshot, CommandsEndedBySignalsStillGiveTheirOutput) {
    // What the time limit does to a command: it ends by a signal after part
    // of its output. The pass goes on with whatever came.
    StandInMachine machine;
    machine.installADB("");
    machine.adb.answer("devices", {.output = "List of devices attached\nS1\tdevice\n", .signal = SIGTERM});
    machine.adb.answer("pm", {.output = "package:com.antgroup.leopard.android", .signal = SIGKILL});
    const DiagnosticsSnapshot snapshot = buildSnapshot(machine.places);
    EXPECT_EQ(machine.adb.calls(), (Calls{startServerCall, devicesCall, pmCall("S1")}));
    EXPECT_EQ(snapshot.devices, (std::vector<AndroidDevice>{{"S1", "device"}}));
    EXPECT_TRUE(snapshot.lingguangInstalled);
    EXPECT_EQ(snapshot.log, devicesHeading + "List of devices attached\nS1\tdevice\n\n" + pmHeading +
                                "package:com.antgroup.leopard.android");
}

TEST(BuildSnapshot, AServerThatDoesNotAnswerItsStartIsNotAskedAgain) {
    // The one test that waits out the whole time limit of a command.
    StandInMachine machine;
    machine.adb.answer("start-server", {.delaySeconds = 60});
    machine.installADB("List of devices attached\nS1\tdevice\n");
    const DiagnosticsSnapshot snapshot = buildSnapshot(machine.places);
    EXPECT_EQ(machine.adb.calls(), Calls{startServerCall});
    EXPECT_EQ(snapshot.log, "$ adb start-server\n(no answer within 12 seconds: stopped)\n");
    EXPECT_EQ(snapshot.checks.at(2).detail(),
              "adb did not answer within 12 seconds. Run adb kill-server, then reconnect the phone and press Refresh.");
}

TEST(BuildSnapshot, ScrcpyMissingStillRunsEveryCommand) {
    StandInMachine machine;
    machine.places.scrcpyCandidates = {machine / "no-scrcpy", machine / "also-none"};
    machine.installADB("List of devices attached\nS1\tdevice\n", "package:com.antgroup.leopard.android\n");

    const DiagnosticsSnapshot snapshot = buildSnapshot(machine.places);

    EXPECT_EQ(machine.adb.calls(), (Calls{startServerCall, devicesCall, pmCall("S1")}));
    EXPECT_EQ(snapshot.scrcpyPath, std::nullopt);
    EXPECT_EQ(snapshot.selectedDeviceID, "S1");
    EXPECT_TRUE(snapshot.lingguangInstalled);
    EXPECT_EQ(snapshot.checks.at(1).state(), CheckState::fail);
    EXPECT_EQ(snapshot.checks.at(1).detail(), scrcpyMissing);
    expectLogEntry(machine.activityLog(), "Diagnostics refreshed. scrcpy is missing.");
}

TEST(BuildSnapshot, SystemADBAndUnusableOutput) {
    // adb from a fixed place, whose server failed to start: no device list,
    // and the transcript shows what adb said.
    StandInMachine machine;
    const test::StandInADB systemADB(machine / "system-adb");
    systemADB.answer("devices", {failedServerOutput, 1});
    systemADB.install();
    machine.places.adbCandidates = {systemADB.path()};

    const DiagnosticsSnapshot snapshot = buildSnapshot(machine.places);

    EXPECT_EQ(snapshot.adbPath, machine / "system-adb");
    EXPECT_EQ(snapshot.adbSource, "System adb");
    EXPECT_TRUE(snapshot.devices.empty());
    EXPECT_EQ(snapshot.log, devicesHeading + failedServerOutput);
    EXPECT_EQ(snapshot.checks.at(2).state(), CheckState::fail);
    EXPECT_EQ(snapshot.checks.at(2).detail(),
              "adb's server could not start: could not install *smartsocket* listener: Address already in use. Close "
              "the program that holds adb's port (often an adb of another version) or run adb kill-server, then "
              "press Refresh.");
#if defined(__linux__)
    // Where the program holding adb's port is seen (here this one, which
    // does not answer), it is named instead.
    test::StandInADBServer silent;
    silent.restart(0, true);
    machine.places.adbServer = silent.address();
    EXPECT_EQ(buildSnapshot(machine.places).adbTrouble.portHolder,
              (PortHolder{silent.address().port, fs::canonical("/proc/self/exe"), ::getpid(), std::nullopt}));
#endif
}

// ---- The USB bus --------------------------------------------------------------

TEST(USBBus, InterfacesTellAPhoneOfferingDebuggingFromOneOnlyTransferringFiles) {
    // A device: its path below the host controller, as the kernel nests it,
    // and its interfaces: class, subclass, protocol and name ("-": none).
    using Device = std::pair<std::string, Strings>;
    const Device hub{"usb1", {"09 00 00 -"}}, keyboard{"usb1/1-2", {"03 01 01 Keyboard"}};
    const Device transferringPhone{"usb1/1-1", {"ff ff 00 MTP"}};
    const Device debuggablePhone{"usb1/1-1", {"ff ff 00 MTP", "ff 42 01 ADB Interface"}};
    const Device cameraBehindHub{"usb1/1-3/1-3.4", {"06 01 01 -"}}, phoneBehindHub{"usb1/1-3/1-3.2", {"ff 42 01 -"}};
    const Device cameraByName{"usb1/1-5", {"ff ff 00 PTP"}};
    const std::vector<std::pair<std::vector<Device>, USBFinding>> cases{
        {{hub, debuggablePhone, keyboard}, USBFinding::debuggingOffered},
        {{hub, transferringPhone}, USBFinding::fileTransferOnly},
        {{hub, keyboard, cameraBehindHub}, USBFinding::fileTransferOnly},
        {{hub, cameraBehindHub, phoneBehindHub}, USBFinding::debuggingOffered},
        {{hub, keyboard}, USBFinding::nothing},
        {{hub, keyboard, cameraByName}, USBFinding::fileTransferOnly},
        {{hub, Device{"usb1/1-4", {"ff 42 03 fastboot"}}, cameraByName}, USBFinding::fastboot},
        {{Device{"usb1/1-4", {"ff 42 03 fastboot"}}, debuggablePhone}, USBFinding::debuggingOffered},
    };
    for (const auto& [devices, expected] : cases) {
        TempDir sys;
        const std::string controller = "devices/pci0000:00/0000:00:14.0/", listing = sys / "bus/usb/devices";
        fs::create_directories(listing);
        for (const auto& [path, interfaces] : devices) {
            const std::string name = path.substr(path.rfind('/') + 1);
            const std::string prefix = name.starts_with("usb") ? name.substr(3) + "-0" : name;
            fs::create_directories(sys / (controller + path));
            fs::create_symlink("../../../" + controller + path, listing + "/" + name);
            for (std::size_t i = 0; i < interfaces.size(); ++i) {
                const std::string interface = path + "/" + prefix + ":1." + std::to_string(i);
                std::istringstream words(interfaces[i]);
                std::string word, label;
                for (const char* file : {"bInterfaceClass", "bInterfaceSubClass", "bInterfaceProtocol"}) {
                    words >> word;
                    test::writeFile(sys / (controller + interface + "/" + file), word + "\n");
                }
                std::getline(words >> std::ws, label);
                if (label != "-") test::writeFile(sys / (controller + interface + "/interface"), label + "\n");
                fs::create_symlink("../../../" + controller + interface, listing + "/" + interface.substr(interface.rfind('/') + 1));
            }
        }
        EXPECT_EQ(readUSBBus(listing), expected) << int(expected);
    }
}

TEST(BuildSnapshot, EachPassStartsAfreshWithNewRows) {
    StandInMachine machine;
    machine.installADB("List of devices attached\nS1\tdevice\n");
    const DiagnosticsSnapshot first = buildSnapshot(machine.places);
    const DiagnosticsSnapshot second = buildSnapshot(machine.places);
    EXPECT_EQ(first.log, second.log);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_NE(first.checks.at(i).id(), second.checks.at(i).id());
    EXPECT_EQ(machine.adb.calls(), (Calls{startServerCall, devicesCall, pmCall("S1"), startServerCall, devicesCall,
                                          pmCall("S1")}));
}

// ---- A mirror's end ------------------------------------------------------------

const std::string notFound = ". The phone was not found: reconnect it, approve USB debugging if the phone asks, then "
                             "press Start Mirror again.";

TEST(MirrorEndReport, ScrcpysRealFailuresGetTheirReasonAndAdvice) {
    struct Case {
        CommandResult end;           // status, what reached the log
        std::string reasonAndAdvice; // what follows "Mirror for R58M ended (status N)"
    };
    const std::string twoADBs = ". Two adb versions stop each other's server (another tool runs its own adb): use one "
                                "adb for every tool.";
    const std::vector<Case> cases{
        {{1, "ERROR: Could not find any ADB device\nERROR: Server connection failed\n"}, ": Could not find any ADB device" + notFound},
        {{1, "ERROR: Could not find ADB device R58M:\nERROR:     -->   (usb)  0123  device  Pixel_7\n"
             "ERROR: Server connection failed\n"},
         ": Could not find ADB device R58M" + notFound},
        {{1, "adb server version (40) doesn't match this client (41); killing...\nERROR: Server connection failed\n"},
         ": Server connection failed" + twoADBs},
        {{1, "[server] ERROR: The server version (2.3) does not match the client (2.3.1)\n"},
         ": The server version (2.3) does not match the client (2.3.1). scrcpy's server does not belong to this scrcpy: "
         "reinstall scrcpy."},
        {{1, "[server] ERROR: Exception on thread Thread[video,5,main]\njava.lang.NoSuchMethodException: android.view\n"},
         ": Exception on thread Thread[video,5,main]. This scrcpy is too old for the phone's Android version: install a "
         "newer scrcpy."},
        {{1, "[server] ERROR: Encoding error: android.media.MediaCodec$CodecException: Error 0xfffffff4\n"},
         ": Encoding error: android.media.MediaCodec$CodecException: Error 0xfffffff4. The phone's video encoder failed "
         "at this size: mirror at a lower resolution (scrcpy -m 1024)."},
        {{1, "ERROR: Could not initialize SDL video: No available video device\n"},
         ": Could not initialize SDL video: No available video device. scrcpy found no display for its window: start "
         "Kelvane from the desktop session, or set SDL_VIDEODRIVER."},
        {{1, "[server] ERROR: Could not invoke method\nCaused by: ... to have the INJECT_EVENTS permission.\n"},
         ": Could not invoke method. The phone refuses input from the computer: on Xiaomi phones (MIUI, HyperOS) turn "
         "on Developer options \u2192 USB debugging (Security settings)."},
        // The first known cause printed wins, wherever it stands; a line
        // without its line end counts.
        {{1, "ERROR: Could not find any ADB device\n" + std::string(10000, 'x') +
                 "\nadb server version (1) doesn't match this client (2)"},
         ": Could not find any ADB device" + twoADBs},
        {{1, "ERROR: Something new happened!\r\n"}, ": Something new happened!"},
        {{9, "[2026-12-07 10:00:00 +0000] Launching scrcpy for device X\n"}, "."},
    };
    for (const Case& c : cases) {
        MirrorOutputScan scan;
        for (std::size_t at = 0; at < c.end.output.size(); at += 3) scan.feed(std::string_view(c.end.output).substr(at, 3));
        EXPECT_EQ(mirrorEndReport("R58M", {c.end.status}, &scan).error,
                  "Mirror for R58M ended (status " + std::to_string(c.end.status) + ")" + c.reasonAndAdvice);
    }
}

TEST(MirrorEndReport, EachEndIsToldAsItHappened) {
    const std::string mirror = "Mirror for R58M";
    const std::string gone = mirror + " ended: the phone was disconnected.";
    const std::string crash = "scrcpy crashed (SIGSEGV). Install the newest scrcpy; if it keeps crashing, tell scrcpy's "
                              "developers what you did.";
    const auto failure = [&](int status) {
        return mirror + " ended (status " + std::to_string(status) + "): Could not find any ADB device" + notFound;
    };
    const struct {
        CommandResult end;
        std::optional<std::string> status, error;
        std::string log;
    } cases[] = {
        {{0}, std::nullopt, std::nullopt, mirror + " ended."},
        {{2}, gone, std::nullopt, gone},
        {{SIGTERM, "", false, true}, mirror + " was stopped.", std::nullopt, mirror + " was stopped (SIGTERM)."},
        {{SIGHUP, "", false, true}, mirror + " was stopped.", std::nullopt, mirror + " was stopped (SIGHUP)."},
        {{SIGSEGV, "", false, true}, mirror + " stopped unexpectedly.", crash, mirror + " stopped unexpectedly. " + crash},
        {{1}, mirror + " failed.", failure(1), failure(1)},
        {{SIGTERM}, mirror + " failed.", failure(15), ""},
    };
    MirrorOutputScan scan;
    scan.feed("ERROR: Could not find any ADB device\n");
    for (const auto& c : cases) {
        const MirrorEndReport report = mirrorEndReport("R58M", c.end, &scan);
        EXPECT_EQ(report.status, c.status) << c.log;
        EXPECT_EQ(report.error, c.error) << c.log;
        if (!c.log.empty()) EXPECT_EQ(report.logEntry, c.log);
    }
    EXPECT_EQ(mirrorEndReport("R58M", {1}).error, mirror + " ended (status 1).") << "output not known";
}

} // namespace
} // namespace kelvane
