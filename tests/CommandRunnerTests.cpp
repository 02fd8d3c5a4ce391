#include "ChildProcess.h"
#include "CommandRunner.h"

#include "DiagnosticsService.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <limits>
#include <regex>
#include <sstream>
#include <system_error>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace kelvane;
using kelvane::test::TempDir;

namespace {

CommandResult runScript(const TempDir& dir, const std::string& body, double timeout = 10.0) {
    const std::string script = dir / "script.sh";
    test::writeScript(script, body);
    return CommandRunner::run(script, {}, timeout);
}

using test::lines;
using test::placesLoggingTo;

} // namespace

// ---- run ---------------------------------------------------------------------

// Each way a child ends, and what run gives back: its status and output in
// writing order, whether its time limit or a signal ended it, and how long
// run took (never long after the child, however loaded the machine).
TEST(CommandRunnerRun, GivesBackHowEachChildEnded) {
    const auto sh = [](const char* script) { return std::vector<std::string>{"-c", script}; };
    const double grace = CommandRunner::killGraceSeconds;
    const struct {
        std::string program;
        std::vector<std::string> arguments;
        double limit;
        CommandResult result;
        double least = 0, most = 30;
    } rows[] = {
        {"/bin/sh", sh("printf 'one '; printf 'two ' >&2; printf 'three\\n'; exit 3"), 10, {3, "one two three\n"}},
        {"/bin/echo", {"a  b", "$HOME", "*", "'q'", "", "semi;colon"}, 5, {0, "a  b $HOME * 'q'  semi;colon\n"}},
        // "true" is on the search path, but not in the working directory.
        {"true", {}, 5, {127, "Cannot start true: No such file or directory"}},
        {"/etc/passwd", {}, 30, {127, "Cannot start /etc/passwd: Permission denied"}, 0, 2},
        {"/etc", {}, 30, {127, "Cannot start /etc: Permission denied"}, 0, 2},
        // Ill-formed UTF-8 is replaced, also where a termination cuts a character in half.
        {"/bin/sh", sh("printf 'ok \\377 and on'; exit 5"), 10, {5, "ok \xEF\xBF\xBD and on"}},
        {"/bin/sh", sh("printf 'euro \\342\\202'; exec sleep 30"), 0.3, {15, "euro \xEF\xBF\xBD", true, true}},
        {"/bin/sh", sh("printf 'Gr\\303\\274\\303\\237e \\342\\202\\254 \\360\\237\\230\\200'"), 10, {0, "Grüße € 😀"}},
        {"/bin/sh", sh("kill -KILL $$"), 10, {9, "", false, true}},
        {"/bin/sh", sh("kill -INT $$"), 10, {2, "", false, true}},
        {"/bin/sh", sh("exit 9"), 10, {9, "", false, false}},
        // At the limit the termination request ends it, not the kill after it.
        {"/bin/sh", sh("printf 'before'; exec sleep 30"), 1.0, {15, "before", true, true}, 0.9},
        {"/bin/sh", sh("trap 'echo caught; exit 4' TERM; echo ready; sleep 30 & wait"), 0.5, {4, "ready\ncaught\n", true}},
        {"/bin/sleep", {"30"}, 0, {15, "", true, true}, 0, 1.5},
        {"/bin/sh", sh("sleep 0.2; echo done"), 1e10, {0, "done\n"}},
        {"/bin/sh", sh("sleep 0.2; echo done"), 1e300, {0, "done\n"}},
        {"/bin/sh", sh("sleep 0.2; echo done"), std::numeric_limits<double>::infinity(), {0, "done\n"}},
        {"/bin/sh", sh("trap '' TERM; echo stubborn; exec sleep 30"), 0.2, {9, "stubborn\n", true, true}, 0.2 + grace - 0.3, 0.2 + grace + 3},
        // A daemon left behind holds the output pipe open.
        {"/bin/sh", sh("sleep 20 & echo started; exit 0"), 30, {0, "started\n"}, 0, 3},
        // Without exec the sleep is a grandchild that outlives the terminated shell.
        {"/bin/sh", sh("echo waiting; sleep 20"), 0.5, {15, "waiting\n", true, true}, 0, 3},
    };
    for (const auto& row : rows) {
        const std::string what = row.program + (row.arguments.empty() ? "" : " " + row.arguments.back());
        const double before = test::now();
        EXPECT_EQ(CommandRunner::run(row.program, row.arguments, row.limit), row.result) << what;
        const double took = test::now() - before;
        EXPECT_GE(took, row.least) << what;
        EXPECT_LT(took, row.most) << what;
    }
}

TEST(CommandRunnerRun, ChildEnvironmentIsTheSearchPathAndAdbsOwnVariables) {
    // adb's commands reach the user's adb server with the user's keys (on
    // Linux), and nothing else of this process's environment; a detached
    // program also gets the desktop session's variables and SDL's two.
    const std::string path = "PATH=" + std::string(CommandRunner::childSearchPath) + "\n";
    const std::string adbs = "ANDROID_ADB_SERVER_PORT=5999\nANDROID_ADB_SERVER_ADDRESS=h\nADB_SERVER_SOCKET=tcp:h:5\n"
                             "ADB_VENDOR_KEYS=/k\nANDROID_USER_HOME=/a\nANDROID_SDK_HOME=/s\n";
    const std::string session = "DISPLAY=:7\nWAYLAND_DISPLAY=w\nXAUTHORITY=/x\nXDG_RUNTIME_DIR=/r\nXDG_SESSION_TYPE=x11\n"
                                "HOME=/u\nDBUS_SESSION_BUS_ADDRESS=d\nSDL_VIDEODRIVER=x11\nSDL_AUDIODRIVER=alsa\n";
    const test::ScopedEnvironment environment(lines(adbs + session + "ANDROID_SERIAL=R58M\nSECRET=x\n"));
    process::Environment detached = process::childEnvironment(true);
    std::string detachedText;
    for (char* const* entry = detached.get(); *entry; ++entry) detachedText += std::string(*entry) + "\n";
#ifdef __linux__
    EXPECT_EQ(CommandRunner::run("/usr/bin/env", {}, 5), (CommandResult{0, path + adbs}));
    EXPECT_EQ(detachedText, path + session + adbs);
#else
    EXPECT_EQ(CommandRunner::run("/usr/bin/env", {}, 5), (CommandResult{0, path}));
    EXPECT_EQ(detachedText, path);
#endif
}

TEST(CommandRunnerRun, AStopEndsTheChildAtOnceAndAProcessThatDiesTakesItsChildrenAlong) {
    TempDir dir;
    CommandRunner::StopSignal stop;
    std::thread stopper([&] { std::this_thread::sleep_for(std::chrono::milliseconds(100)), stop.request(); });
    const double before = test::now();
    EXPECT_EQ(CommandRunner::run("/bin/sh", {"-c", "trap '' TERM; exec sleep 30"}, 60, &stop).status, SIGKILL);
    EXPECT_LT(test::now() - before, 0.1 + CommandRunner::stopGraceSeconds + 0.5);
    stopper.join();
#if defined(__linux__) && !defined(KELVANE_PORTABLE_POSIX)
    const pid_t process = ::fork();
    if (process == 0) ::_exit(CommandRunner::run("/bin/sh", {"-c", "echo $$ > " + (dir / "pid") + "; exec sleep 30"}, 60).status);
    ASSERT_TRUE(test::eventually([&] { return test::readFile(dir / "pid").size() > 1; }));
    ::kill(process, SIGKILL);
    ::waitpid(process, nullptr, 0);
    const pid_t child = std::stoi(test::readFile(dir / "pid"));
    EXPECT_TRUE(test::eventually([&] { return ::kill(child, 0) != 0; }, 2.0)) << "a child of run outlived its process";
#endif
}

TEST(CommandRunnerRun, ChildStartsWithDefaultSignalsAndAnEmptyMask) {
    // A toolkit thread may block or ignore signals; the child must not inherit that.
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGTERM, &ignore, &previous);
    sigset_t blocked, previousMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &blocked, &previousMask);

    const double before = test::now();
    const CommandResult result = CommandRunner::run("/bin/sleep", {"30"}, 0.2);
    const double elapsed = test::now() - before;

    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    sigaction(SIGTERM, &previous, nullptr);
    EXPECT_EQ(result.status, 15);
    EXPECT_LT(elapsed, CommandRunner::killGraceSeconds);
}

TEST(CommandRunnerRun, OutputLargerThanThePipeIsCapturedWhole) {
    TempDir dir;
    const CommandResult result = runScript(dir, "head -c 3000000 /dev/zero | tr '\\000' 'k'\n", 30);
    EXPECT_EQ(result.status, 0);
    ASSERT_EQ(result.output.size(), 3000000u);
    EXPECT_EQ(result.output.find_first_not_of('k'), std::string::npos);
}

TEST(CommandRunnerRun, OutputBeyondTheBoundIsDrainedAndDropped) {
    TempDir dir;
    // The child finishes on its own: nothing it writes past the bound blocks it.
    const CommandResult ended = runScript(dir, "head -c 20000000 /dev/zero | tr '\\000' 'k'\nexit 7\n", 30);
    EXPECT_EQ(ended.status, 7);
    ASSERT_EQ(ended.output.size(), CommandRunner::maxOutputBytes);
    EXPECT_EQ(ended.output.find_first_not_of('k'), std::string::npos);
    // A runaway child writes until its time limit, which still ends it.
    const double before = test::now();
    const CommandResult runaway = CommandRunner::run("/usr/bin/yes", {}, 1.0);
    EXPECT_EQ(runaway.status, 15);
    EXPECT_EQ(runaway.output.size(), CommandRunner::maxOutputBytes);
    EXPECT_LT(test::now() - before, 1.0 + CommandRunner::killGraceSeconds);
}

TEST(CommandRunnerRun, ConcurrentRunsEachGetTheirOwnResult) {
    TempDir dir;
    const std::string script = dir / "echo-twice.sh";
    test::writeScript(script, "echo \"$1\"; sleep 0.05; echo \"$1\" >&2; exit $2\n");
    std::vector<std::future<CommandResult>> results;
    for (int i = 0; i < 16; ++i) {
        results.push_back(std::async(std::launch::async, [&, i] {
            return CommandRunner::run(script, {"call" + std::to_string(i), std::to_string(i)}, 10);
        }));
    }
    for (int i = 0; i < 16; ++i) {
        const CommandResult result = results[i].get();
        EXPECT_EQ(result.status, i);
        EXPECT_EQ(result.output, "call" + std::to_string(i) + "\ncall" + std::to_string(i) + "\n");
    }
}

#ifdef __linux__
TEST(CommandRunnerRun, ChildInheritsOnlyItsStandardDescriptors) {
#ifdef KELVANE_PORTABLE_POSIX
    GTEST_SKIP() << "without closefrom only macOS's POSIX_SPAWN_CLOEXEC_DEFAULT keeps such a descriptor from the child";
#endif
    // A descriptor opened elsewhere in the process without close-on-exec.
    const int leaky = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaky, 0);
    const CommandResult result = CommandRunner::run("/bin/sh", {"-c", "ls /proc/$$/fd"}, 5);
    ::close(leaky);
    EXPECT_EQ(result.output, "0\n1\n2\n");
}
#endif

// ---- UTF-8 ---------------------------------------------------------------------

TEST(CommandRunnerUTF8, KeepsWellFormedTextAndReplacesEachIllFormedPart) {
#define R "\xEF\xBF\xBD" // U+FFFD
    struct Case {
        std::string bytes;
        std::string text; // empty: the bytes unchanged
    };
    const Case cases[] = {
        {"", ""},
        {std::string("nul\0inside", 10), ""},
        {"\x7F", ""},
        {"\xC2\x80", ""},               // U+0080
        {"\xDF\xBF", ""},               // U+07FF
        {"\xE0\xA0\x80", ""},           // U+0800
        {"\xED\x9F\xBF", ""},           // U+D7FF
        {"\xEE\x80\x80", ""},           // U+E000
        {"\xEF\xBF\xBF", ""},           // U+FFFF
        {"\xF0\x90\x80\x80", ""},       // U+10000
        {"\xF4\x8F\xBF\xBF", ""},       // U+10FFFF
        {R, ""},                        // a replacement character of the child's own
        {"\xC0\x80", R R},              // overlong NUL
        {"\xC1\xBF", R R},              // overlong
        {"\xE0\x9F\xBF", R R R},        // overlong
        {"\xF0\x8F\xBF\xBF", R R R R},  // overlong
        {"\xED\xA0\x80", R R R},        // surrogate
        {"\xED\xBF\xBF", R R R},        // surrogate
        {"\xF4\x90\x80\x80", R R R R},  // above U+10FFFF
        {"\xF5\x80\x80\x80", R R R R},
        {"\xFF", R},
        {"\x80", R},                    // lone continuation
        {"caf\xE9 ok", "caf" R " ok"},  // Latin-1
        {"abc\xE2\x82", "abc" R},       // cut at the end: one replacement
        {"\xF0\x9F\x98", R},
        {"\xE2\x82xyz", R "xyz"},       // cut in the middle
        {"12345678\xC3", "12345678" R},
        {"\xC3\xA9\xC3", "\xC3\xA9" R},
        // Unicode's own example of maximal subparts.
        {"a\xF1\x80\x80\xE1\x80\xC2" "b\x80" "c\x80\xBF" "d", "a" R R R "b" R "c" R R "d"},
    };
#undef R
    for (const Case& c : cases) {
        EXPECT_EQ(CommandRunner::decodeUTF8(c.bytes), c.text.empty() ? c.bytes : c.text)
            << testing::PrintToString(c.bytes);
    }
}

// ---- Activity log ----------------------------------------------------------------

TEST(CommandRunnerLog, FormatsEntriesInUTC) {
    EXPECT_EQ(CommandRunner::formatLogEntry("Log created.", 1796549207),
              "[2026-12-06 09:26:47 +0000] Log created.\n");
    EXPECT_EQ(CommandRunner::formatLogEntry("", 0), "[1970-01-01 00:00:00 +0000] \n");
    EXPECT_EQ(CommandRunner::formatLogEntry("two\nlines", 946684799), "[1999-12-31 23:59:59 +0000] two\nlines\n");
}

TEST(CommandRunnerLog, CreatesTheFileOrKeepsWhatItHoldsAndAppendsVerbatimEntries) {
    TempDir dir;
    const std::string log = dir / "activity.log";
    const std::vector<std::string> entries{"first", "", "multi\nline", "Grüße ✓"};
    for (const std::string& entry : entries) CommandRunner::appendLog(entry, placesLoggingTo(log));
    EXPECT_TRUE(test::isLogOf(test::readFile(log), entries)) << test::readFile(log);
    test::writeFile(log, "earlier text without line break");
    CommandRunner::appendLog("next", placesLoggingTo(log));
    const std::string contents = test::readFile(log);
    EXPECT_EQ(contents.rfind("earlier text without line break[", 0), 0u);
    EXPECT_EQ(contents.substr(contents.size() - 6), " next\n");
}

TEST(CommandRunnerLog, DropsEntriesItCannotWriteSafely) {
    TempDir dir;
    // A directory, a missing parent, a symbolic link (dangling or to a file),
    // a second hard link to a file and a FIFO, read or not: nothing is
    // written, nothing blocks, nothing throws.
    ::mkdir((dir / "a-directory").c_str(), 0755);
    test::writeFile(dir / "target", "untouched");
    ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str()), 0);
    ASSERT_EQ(::link((dir / "target").c_str(), (dir / "hard-link").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0666), 0);
    ASSERT_EQ(::mkfifo((dir / "read-fifo").c_str(), 0666), 0);
    const int reader = ::open((dir / "read-fifo").c_str(), O_RDONLY | O_NONBLOCK);

    auto done = std::async(std::launch::async, [&] {
        for (const char* name : {"a-directory", "missing/parent.log", "link", "dangling", "hard-link", "fifo", "read-fifo"}) {
            CommandRunner::appendLog("dropped", placesLoggingTo(dir / name));
        }
    });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(test::readFile(dir / "target"), "untouched");
    EXPECT_FALSE(test::exists(dir / "nowhere"));
    char buffer[64];
    EXPECT_LE(::read(reader, buffer, sizeof buffer), 0);
    ::close(reader);
}

TEST(CommandRunnerLog, ConcurrentWritersLeaveOnlyWholeEntries) {
    TempDir dir;
    const std::string log = dir / "activity.log";
    const std::string padding(200, 'x');
    constexpr int processes = 3, threads = 6, perWriter = 150;

    // Child processes first, while this process has no extra threads.
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int i = 0; i < perWriter; ++i) {
                CommandRunner::appendLog("process " + std::to_string(p) + " " + std::to_string(i) + " " + padding, placesLoggingTo(log));
            }
            ::_exit(0);
        }
        children.push_back(pid);
    }
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < perWriter; ++i) {
                CommandRunner::appendLog("thread " + std::to_string(t) + " " + std::to_string(i) + " " + padding, placesLoggingTo(log));
            }
        });
    }
    for (std::thread& writer : writers) writer.join();
    for (pid_t child : children) ::waitpid(child, nullptr, 0);

    const std::regex whole(std::string("^") + test::logStampPattern + R"((process|thread) \d+ \d+ x{200}$)");
    const std::vector<std::string> written = lines(test::readFile(log));
    EXPECT_EQ(written.size(), static_cast<std::size_t>((processes + threads) * perWriter));
    for (const std::string& line : written) ASSERT_TRUE(std::regex_match(line, whole)) << line;
}

// ---- Detached launch -----------------------------------------------------------------

TEST(CommandRunnerLaunch, ADBIsWhatToolDiscoveryFindsAtLaunch) {
    TempDir dir;
    const std::string log = dir / "activity.log";
    const std::string adb = dir / "tools/adb";
    Places places = placesLoggingTo(log);
    places.adbCandidates = {adb};

    // Installed after the places were made: found all the same.
    test::writeScript(adb, "exit 0\n");
    DiagnosticsService::launchWithADB("/bin/sh", {"-c", "echo \"adb is $ADB\""}, places);
    ASSERT_TRUE(test::eventually([&] { return test::readFile(log) == "adb is " + adb + "\n"; }))
        << test::readFile(log);
}

TEST(CommandRunnerLaunch, UnusableSharedLogGivesWayToThePrivateOneAndNeverStopsTheStart) {
    TempDir dir;
    ::mkdir((dir / "a-directory").c_str(), 0755);
    test::writeFile(dir / "target", "");
    ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "gone").c_str(), (dir / "dangling").c_str()), 0);
    ASSERT_EQ(::link((dir / "target").c_str(), (dir / "hard-link").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0666), 0);
    // Another user's file that anyone may write, left where the log goes
    // (made as root: a file of nobody's).
    test::writeFile(dir / "someone-elses", "", 0666);
    const bool ownedByAnother = ::geteuid() == 0 && ::chown((dir / "someone-elses").c_str(), 65534, 65534) == 0;
    const auto launch = [](const std::string& program, const std::string& argument, const Places& places) {
        std::promise<CommandResult> end;
        CommandRunner::launchDetached(program, {argument}, places, "",
                                      [&](const CommandResult& result, const CommandRunner::ProgramOutput& output) {
                                          std::string kept;
                                          output.read([&](std::string_view chunk) { kept += chunk; }, 1000);
                                          end.set_value({result.status, kept});
                                      });
        return end.get_future().get();
    };
    for (const auto& [name, cause] : std::vector<std::pair<std::string, std::string>>{
             {"a-directory", "it is a directory"}, {"link", "it is a symbolic link"}, {"dangling", "it is a symbolic link"},
             {"hard-link", "it has more than one hard link"}, {"fifo", "it is a FIFO"},
             {"someone-elses", "it is another user's file"}, {"missing/parent.log", "No such file or directory"}}) {
        if (name == "someone-elses" && !ownedByAnother) continue;
        Places places = placesLoggingTo(dir / name);
        places.privateLogBase = dir.path();
        places.privateLogPath = dir / ("private-of-" + name.substr(0, name.find('/')) + "/kelvane-pro.log");
        EXPECT_EQ(launch("/bin/echo", "started", places), (CommandResult{0, "started\n"})) << name;
        CommandRunner::appendLog("an entry", places);
        EXPECT_EQ(CommandRunner::logInUse(places), places.privateLogPath);
        const std::vector<std::string> written = lines(test::readFile(places.privateLogPath));
        ASSERT_EQ(written.size(), 3u) << name;
        EXPECT_TRUE(test::isLogOf(written[0] + "\n", {"Not using the shared activity log " + (dir / name) + ": " + cause +
                                                      ". This log takes its place for the rest of this run."}))
            << written[0];
        EXPECT_EQ(written[1], "started");
        EXPECT_TRUE(test::isLogOf(written[2] + "\n", {"an entry"})) << written[2];
        struct stat info {};
        ::stat(places.privateLogPath.substr(0, places.privateLogPath.rfind('/')).c_str(), &info);
        EXPECT_EQ(info.st_mode & 0777, 0700u) << "made for this user alone";
    }
    EXPECT_EQ(test::readFile(dir / "target"), "");
    EXPECT_EQ(test::readFile(dir / "someone-elses"), "");
    // With no log at all the program still starts; its output is lost.
    EXPECT_EQ(launch("/usr/bin/touch", dir / "started", placesLoggingTo(dir / "link")), (CommandResult{0, ""}));
    EXPECT_TRUE(test::exists(dir / "started"));
}

TEST(CommandRunnerLog, APrivateLogIsMadeOnlyWhereEveryDirectoryIsThisUsersAlone) {
    TempDir dir;
    std::filesystem::create_directories(dir / "home/.local");
    std::filesystem::create_directories(dir / "elsewhere");
    ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "home/.local/state").c_str()), 0);
    std::filesystem::create_directories(dir / "open");
    ::chmod((dir / "open").c_str(), 0777);
    for (const auto& [base, log] : std::vector<std::pair<std::string, std::string>>{
             {dir / "home", dir / "home/.local/state/kelvane-pro.log"}, {dir / "open", dir / "open/kelvane-pro.log"}}) {
        Places places = placesLoggingTo(dir / "elsewhere");
        places.privateLogBase = base;
        places.privateLogPath = log;
        CommandRunner::appendLog("dropped", places);
        EXPECT_EQ(CommandRunner::logInUse(places), "") << log;
        EXPECT_FALSE(test::exists(log)) << log;
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir / "elsewhere"));
}

#ifdef __linux__
namespace {

// Children of this process that have ended but were not reaped.
int zombieChildren() {
    int zombies = 0;
    DIR* proc = ::opendir("/proc");
    if (!proc) return 0;
    while (dirent* entry = ::readdir(proc)) {
        const std::string stat = test::readFile(std::string("/proc/") + entry->d_name + "/stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(stat.substr(close + 2));
        char state = 0;
        long parent = 0;
        fields >> state >> parent;
        if (state == 'Z' && parent == ::getpid()) ++zombies;
    }
    ::closedir(proc);
    return zombies;
}

} // namespace

TEST(CommandRunnerLaunch, ChildRunsInItsOwnSessionAndIsReaped) {
    TempDir dir;
    const std::string log = dir / "activity.log";
    // Field 6 of /proc/<pid>/stat is the session; a session leader's is its own pid.
    CommandRunner::launchDetached("/bin/sh", {"-c", "read -r pid comm state ppid pgrp session rest < /proc/$$/stat; "
                                                    "echo \"$$ $session\""},
                                  placesLoggingTo(log), "");
    ASSERT_TRUE(test::eventually([&] { return !test::readFile(log).empty(); }));
    std::istringstream words(test::readFile(log));
    std::string pid, session;
    words >> pid >> session;
    EXPECT_EQ(pid, session);

    for (int i = 0; i < 20; ++i) CommandRunner::launchDetached("/bin/true", {}, placesLoggingTo(log), "");
    EXPECT_TRUE(test::eventually([] { return zombieChildren() == 0; }, 5.0)) << zombieChildren() << " zombies";
}

#ifdef __GLIBC__
TEST(CommandRunnerLaunch, StartedChildIsASuccessEvenWithoutAThreadToReapIt) {
    TempDir dir;
    const std::string log = dir / "activity.log";
    // Every new thread now asks for more stack than the address space holds.
    pthread_attr_t previous, huge;
    ASSERT_EQ(pthread_getattr_default_np(&previous), 0);
    pthread_attr_init(&huge);
    pthread_attr_setstacksize(&huge, std::size_t{1} << 47);
    ASSERT_EQ(pthread_setattr_default_np(&huge), 0);
    bool threadsFail = false;
    try {
        std::thread([] {}).join();
    } catch (const std::system_error&) {
        threadsFail = true;
    }
    if (threadsFail) {
        EXPECT_NO_THROW(CommandRunner::launchDetached("/bin/sh", {"-c", "echo $$"}, placesLoggingTo(log), ""));
    }
    pthread_setattr_default_np(&previous);
    pthread_attr_destroy(&huge);
    pthread_attr_destroy(&previous);
    if (!threadsFail) GTEST_SKIP() << "threads could still be created";

    ASSERT_TRUE(test::eventually([&] { return !test::readFile(log).empty(); }));
    const pid_t pid = std::stoi(test::readFile(log));
    // Nobody waits for it or its relay: they end as zombies, until the next
    // run reaps them.
    EXPECT_TRUE(test::eventually([&] { return zombieChildren() == 2; }));
    EXPECT_EQ(::kill(pid, 0), 0);
    EXPECT_EQ(CommandRunner::run("/bin/true", {}, 5).status, 0);
    EXPECT_EQ(zombieChildren(), 0);
    EXPECT_NE(::kill(pid, 0), 0);
}
#endif
#endif
