// Load on the core: many runs, log writers and detached launches at once,
// and the model's operations overlapping on real threads. Each test is
// bounded to a few seconds. Afterwards nothing may be left behind: no open
// descriptor, no unreaped child.
#include "CommandRunner.h"
#include "DiagnosticsService.h"
#include "DiagnosticsViewModel.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <dirent.h>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace kelvane;
using kelvane::test::TempDir;

namespace {

// ---- What a process holds --------------------------------------------------------

// Open descriptors of this process.
int openDescriptorCount() {
#ifdef __linux__
    const char* directory = "/proc/self/fd";
#else
    const char* directory = "/dev/fd";
#endif
    DIR* listing = ::opendir(directory);
    if (!listing) return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(listing)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(listing);
    return count - 1; // the listing's own descriptor
}

enum class Children { none, running, zombie };

// Whether this process has children, and whether one of them has ended
// without being reaped. Looks without reaping anything.
Children childrenOfThisProcess() {
    siginfo_t info{};
    if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return errno == ECHILD ? Children::none : Children::running;
    }
    return info.si_pid != 0 ? Children::zombie : Children::running;
}

#ifdef __linux__
// The command lines of this process's children, zombies included (whose
// command line is empty, so they show as "<zombie>").
std::vector<std::string> childCommandLines() {
    std::vector<std::string> result;
    const std::string self = std::to_string(::getpid());
    DIR* proc = ::opendir("/proc");
    if (!proc) return result;
    while (const dirent* entry = ::readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string stat = test::readFile("/proc/" + pid + "/stat");
        // pid (comm) state ppid ...; comm may hold blanks and parentheses.
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 1));
        std::string state, parent;
        rest >> state >> parent;
        if (parent != self) continue;
        std::string commandLine = test::readFile("/proc/" + pid + "/cmdline");
        for (char& c : commandLine) {
            if (c == '\0') c = ' ';
        }
        result.push_back(state == "Z" ? "<zombie>" : commandLine);
    }
    ::closedir(proc);
    return result;
}
#endif

// Children of this process whose command line mentions `marker`, or that
// are zombies. Where the system offers no process table to read, only
// zombies are found.
std::vector<std::string> leftoverChildren([[maybe_unused]] const std::string& marker) {
    std::vector<std::string> leftovers;
#ifdef __linux__
    for (const std::string& commandLine : childCommandLines()) {
        if (commandLine == "<zombie>" || commandLine.find(marker) != std::string::npos) {
            leftovers.push_back(commandLine);
        }
    }
#else
    if (childrenOfThisProcess() == Children::zombie) leftovers.push_back("<zombie>");
#endif
    return leftovers;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

using test::lines;
using test::placesLoggingTo;

} // namespace

// ---- Many runs at once -------------------------------------------------------------

TEST(StressRun, TwoHundredRunsFromEightThreadsLeaveNothingBehind) {
    TempDir dir;
    // One script for every kind of run; its path marks this test's children.
    const std::string script = dir / "child.sh";
    test::writeScript(script,
                      "case \"$1\" in\n"
                      "  echo) printf '%s\\n' \"$2\" ;;\n"
                      "  status) printf '%s' \"$2\" >&2; exit \"$3\" ;;\n"
                      "  linger) echo lingering; exec sleep 20 ;;\n"
                      "  mebibyte) yes \"$2\" | head -c 1048576 ;;\n"
                      "esac\n");
    constexpr int threads = 8, runsPerThread = 25;
    constexpr double lingerLimit = 0.2, generousLimit = 30.0;
    constexpr std::size_t mebibyte = 1 << 20;

    const int descriptorsBefore = openDescriptorCount();
    ASSERT_GT(descriptorsBefore, 0);

    std::mutex failuresMutex;
    std::vector<std::string> failures;
    std::atomic<int> timedOut{0}, large{0};
    auto check = [&](bool good, const std::string& what) {
        if (good) return;
        std::lock_guard<std::mutex> lock(failuresMutex);
        failures.push_back(what);
    };

    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < runsPerThread; ++i) {
                const std::string token = "t" + std::to_string(t) + "r" + std::to_string(i);
                const std::string what = token + ": ";
                switch ((t + i) % 5) {
                case 0: {
                    const CommandResult r = CommandRunner::run(script, {"echo", token}, generousLimit);
                    check(r == CommandResult{0, token + "\n"}, what + "echo gave " + r.output);
                    break;
                }
                case 1: {
                    const int code = 1 + (t * runsPerThread + i) % 100;
                    const CommandResult r =
                        CommandRunner::run(script, {"status", token, std::to_string(code)}, generousLimit);
                    check(r == CommandResult{code, token}, what + "status gave " + std::to_string(r.status));
                    break;
                }
                case 2: {
                    const double started = test::now();
                    const CommandResult r = CommandRunner::run(script, {"linger"}, lingerLimit);
                    const double took = test::now() - started;
                    check(r == CommandResult{15, "lingering\n", true, true},
                          what + "time limit gave " + std::to_string(r.status) + " " + r.output);
                    // Ended by the termination request, not by the forced end after it.
                    check(took < lingerLimit + CommandRunner::killGraceSeconds,
                          what + "time limit took " + std::to_string(took) + " s");
                    ++timedOut;
                    break;
                }
                case 3: {
                    const CommandResult r = CommandRunner::run(script, {"mebibyte", token}, generousLimit);
                    std::string expected;
                    while (expected.size() < mebibyte) expected += token + "\n";
                    expected.resize(mebibyte);
                    check(r.status == 0 && r.output == expected,
                          what + "1 MiB came back as " + std::to_string(r.output.size()) + " bytes");
                    ++large;
                    break;
                }
                default: {
                    const std::string missing = dir / ("missing-" + token);
                    const CommandResult r = CommandRunner::run(missing, {}, generousLimit);
                    check(r.status == CommandRunner::launchFailureStatus &&
                              r.output.find(missing) != std::string::npos,
                          what + "missing program gave " + r.output);
                }
                }
            }
        });
    }
    for (std::thread& worker : workers) worker.join();

    EXPECT_EQ(failures, std::vector<std::string>{});
    EXPECT_EQ(timedOut.load(), 40);
    EXPECT_EQ(large.load(), 40);

    EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
    EXPECT_EQ(childrenOfThisProcess(), Children::none);
    EXPECT_EQ(leftoverChildren(script), std::vector<std::string>{});
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

// ---- Many log writers at once -----------------------------------------------------

TEST(StressLog, SixteenThreadsAndFourProcessesLoseNoLine) {
    TempDir dir;
    const std::string log = dir / "activity.log";
    constexpr int threads = 16, processes = 4, perWriter = 500;
    // Long lines: a writer that split its text would show it.
    const std::string padding(300, 'p');

    const std::string writer = dir / "writer.sh";
    test::writeScript(writer,
                      "i=0\n"
                      "while [ $i -lt " + std::to_string(perWriter) + " ]; do\n"
                      "  echo \"process $1 line $i $3\" >> \"$2\"\n"
                      "  i=$((i + 1))\n"
                      "done\n");

    std::vector<std::thread> writers;
    std::vector<CommandResult> processResults(processes);
    for (int p = 0; p < processes; ++p) {
        writers.emplace_back([&, p] {
            processResults[static_cast<std::size_t>(p)] =
                CommandRunner::run(writer, {std::to_string(p), log, padding}, 60.0);
        });
    }
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < perWriter; ++i) {
                CommandRunner::appendLog("thread " + std::to_string(t) + " line " + std::to_string(i) + " " + padding,
                                         placesLoggingTo(log));
            }
        });
    }
    for (std::thread& w : writers) w.join();
    for (const CommandResult& result : processResults) ASSERT_EQ(result, (CommandResult{0, ""}));

    const std::string contents = test::readFile(log);
    ASSERT_FALSE(contents.empty());
    EXPECT_EQ(contents.back(), '\n');
    const std::regex entry(std::string("^") + test::logStampPattern + R"(thread (\d+) line (\d+) p{300}$)");
    const std::regex processLine(R"(^process (\d+) line (\d+) p{300}$)");
    std::map<std::string, int> seen;
    std::size_t broken = 0;
    for (const std::string& line : lines(contents)) {
        std::smatch match;
        if (std::regex_match(line, match, entry)) {
            ++seen["thread " + match[1].str() + " " + match[2].str()];
        } else if (std::regex_match(line, match, processLine)) {
            ++seen["process " + match[1].str() + " " + match[2].str()];
        } else {
            ++broken;
            ADD_FAILURE() << "not a whole line: " << line.substr(0, 120);
            if (broken > 5) break;
        }
    }
    EXPECT_EQ(broken, 0u);
    EXPECT_EQ(seen.size(), static_cast<std::size_t>((threads + processes) * perWriter));
    for (const auto& [line, count] : seen) ASSERT_EQ(count, 1) << line;
}

// ---- Many detached launches -------------------------------------------------------

TEST(StressLaunch, FiftyShortLivedDetachedChildrenLeaveNoZombie) {
    TempDir dir;
    const std::string log = dir / "activity.log";
    const std::string child = dir / "short-lived.sh";
    test::writeScript(child, "echo \"launched $1\"\n");
    const Places places = placesLoggingTo(log);
    constexpr int launches = 50;

    const int descriptorsBefore = openDescriptorCount();
    for (int i = 0; i < launches; ++i) CommandRunner::launchDetached(child, {std::to_string(i)}, places, "");

    // Every child writes its line and ends; each is reaped without anyone
    // here waiting for it.
    EXPECT_TRUE(test::eventually([&] { return lines(test::readFile(log)).size() == static_cast<std::size_t>(launches); }, 15.0));
    EXPECT_TRUE(test::eventually([] { return childrenOfThisProcess() == Children::none; }, 15.0))
        << "children left: " << ::testing::PrintToString(leftoverChildren(child));
    EXPECT_EQ(leftoverChildren(child), std::vector<std::string>{});
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore);

    std::set<std::string> launched;
    for (const std::string& line : lines(test::readFile(log))) launched.insert(line);
    EXPECT_EQ(launched.size(), static_cast<std::size_t>(launches));
    for (int i = 0; i < launches; ++i) EXPECT_EQ(launched.count("launched " + std::to_string(i)), 1u) << i;
}

// ---- The model's operations overlapping on real threads --------------------------

namespace {

// Stand-in adb and scrcpy. Lingguang is installed on PHONE-1.
struct StandinTools : test::StandInMachine {
    StandinTools() {
        setPhone("PHONE-1", true);
        adb.answer("monkey", {"Events injected: 1\n"});
        adb.install();
    }

    // The phone on the cable: what `adb devices` lists and `pm` answers.
    void setPhone(const std::string& serial, bool lingguang) const {
        adb.answer("devices", {"List of devices attached\n" + serial + "\tdevice\n\n"});
        adb.answer("pm", {lingguang ? "package:com.antgroup.leopard.android\n" : ""});
    }
};

} // namespace

TEST(StressViewModel, RefreshAndTwoMirrorStartsOverlapOnRealThreads) {
    // The refresh and the Lingguang start both wait on their stand-in adb;
    // which of them comes back first is the test's choice.
    enum class FirstBack { lingguangStart, refresh };
    for (const FirstBack firstBack : {FirstBack::lingguangStart, FirstBack::refresh}) {
        SCOPED_TRACE(firstBack == FirstBack::refresh ? "refresh back first" : "Lingguang start back first");
        const StandinTools tools;
        test::UIQueue ui;

        // Background work: the model's own default, a thread per task.
        ViewModelServices services = test::realServices(tools.places);
        services.onUIThread = [&ui](Task task) { ui.post(std::move(task)); };
        auto model = DiagnosticsViewModel::create(services);

        // A first refresh finds PHONE-1 with Lingguang.
        bool firstRefreshed = false;
        model->refresh([&] { firstRefreshed = true; });
        ASSERT_TRUE(ui.runUntil([&] { return firstRefreshed; }));
        ASSERT_EQ(model->selectedDeviceID(), "PHONE-1");
        ASSERT_TRUE(model->snapshot().lingguangInstalled);

        // Now the phone on the cable is PHONE-2, and adb answers only when let.
        tools.setPhone("PHONE-2", false);
        tools.adb.hold("devices");
        tools.adb.hold("monkey");

        bool refreshed = false, lingguangStarted = false, plainStarted = false;
        model->refresh([&] { refreshed = true; });
        model->startMirror(true, [&] { lingguangStarted = true; });
        model->startMirror(false, [&] { plainStarted = true; });

        // The plain start needs no adb and ends at once, clearing isStarting
        // while the Lingguang start still waits.
        ASSERT_TRUE(ui.runUntil([&] { return plainStarted; }));
        EXPECT_FALSE(refreshed);
        EXPECT_FALSE(lingguangStarted);
        EXPECT_TRUE(model->isRefreshing());
        EXPECT_FALSE(model->isStarting());
        EXPECT_EQ(model->statusMessage(), "Mirror started for PHONE-1.");

        if (firstBack == FirstBack::lingguangStart) {
            tools.adb.release("monkey");
            ASSERT_TRUE(ui.runUntil([&] { return lingguangStarted; }));
            EXPECT_TRUE(model->isRefreshing());
            EXPECT_EQ(model->statusMessage(), "Mirror started for PHONE-1.");
            tools.adb.release("devices");
            ASSERT_TRUE(ui.runUntil([&] { return refreshed; }));
        } else {
            tools.adb.release("devices");
            ASSERT_TRUE(ui.runUntil([&] { return refreshed; }));
            EXPECT_EQ(model->selectedDeviceID(), "PHONE-2");
            EXPECT_EQ(model->statusMessage(), model->snapshot().summary());
            EXPECT_FALSE(lingguangStarted);
            tools.adb.release("monkey");
            ASSERT_TRUE(ui.runUntil([&] { return lingguangStarted; }));
        }

        // The refresh published what it found, whenever it came back.
        const DiagnosticsSnapshot snapshot = model->snapshot();
        EXPECT_EQ(snapshot.devices, (std::vector<AndroidDevice>{{"PHONE-2", "device"}}));
        EXPECT_EQ(snapshot.selectedDeviceID, "PHONE-2");
        EXPECT_FALSE(snapshot.lingguangInstalled);
        EXPECT_EQ(model->selectedDeviceID(), "PHONE-2");
        EXPECT_FALSE(model->isRefreshing());
        EXPECT_FALSE(model->isStarting());
        EXPECT_FALSE(model->lastError());
        // The last operation to end wrote the status line.
        EXPECT_EQ(model->statusMessage(), firstBack == FirstBack::refresh ? std::optional<std::string>(
                                                                                "Mirror started for PHONE-1.")
                                                                          : snapshot.summary());

        // Both starts kept the phone they began with, although the refresh
        // replaced it in between.
        const auto calls = tools.adb.calls();
        EXPECT_EQ(std::count(calls.begin(), calls.end(), DiagnosticsService::lingguangLaunchArguments("PHONE-1")), 1);
        EXPECT_EQ(std::count(calls.begin(), calls.end(), DiagnosticsService::packageQueryArguments("PHONE-2")), 1);
        const std::string mirror = "stand-in scrcpy: --serial PHONE-1 --window-title Kelvane - PHONE-1\n";
        EXPECT_TRUE(test::eventually([&] { return occurrences(tools.activityLog(), mirror) == 2; }))
            << tools.activityLog();
        const std::string log = tools.activityLog();
        EXPECT_EQ(occurrences(log, "] Launching scrcpy for device PHONE-1\n"), 2u);
        EXPECT_EQ(occurrences(log, "] Lingguang launch result: status=0 output=Events injected: 1\n\n"), 1u);
        EXPECT_EQ(occurrences(log, "] Diagnostics refreshed. "), 2u);
        EXPECT_EQ(occurrences(log, "PHONE-2 --window-title"), 0u);
    }
}
