#include "DiagnosticsViewModel.h"

#include "DiagnosticsService.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <future>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kelvane {
namespace {

using test::TempDir;
using test::lines;

// ---- Executors the test steps by hand ----------------------------------------

struct ManualQueues {
    std::deque<Task> ui;
    std::deque<Task> background;

    static bool runFirst(std::deque<Task>& queue) {
        if (queue.empty()) return false;
        Task task = std::move(queue.front());
        queue.pop_front();
        task();
        return true;
    }
    bool runUI() { return runFirst(ui); }
    bool runBackground() { return runFirst(background); }
    // The background task queued last, ahead of the others.
    bool runLastBackground() {
        if (background.empty()) return false;
        Task task = std::move(background.back());
        background.pop_back();
        task();
        return true;
    }
    void drain() {
        while (runUI() || runBackground()) {}
    }
};

// ---- Fakes for everything outside the model ----------------------------------

struct RunCall {
    std::string executable;
    std::vector<std::string> arguments;
    double timeout;
};

struct Launch {
    std::string executable;
    std::vector<std::string> arguments;
};

struct Fakes {
    ManualQueues queues;
    std::deque<DiagnosticsSnapshot> snapshots; // handed out by buildSnapshot, in order
    int builds = 0;
    std::vector<RunCall> runs;
    CommandResult runResult{0, ""};
    std::vector<std::string> log;
    std::vector<Launch> launches;
    std::optional<std::string> launchFailure;
    std::vector<std::string> opened;

    ViewModelServices services() {
        ViewModelServices s;
        s.onUIThread = [this](Task task) { queues.ui.push_back(std::move(task)); };
        s.isUIThread = [] { return false; }; // each step is run by hand
        s.inBackground = [this](Task task) { queues.background.push_back(std::move(task)); };
        s.buildSnapshot = [this](const DiagnosticsService::PassOptions&) {
            ++builds;
            if (snapshots.empty()) {
                ADD_FAILURE() << "a pass too many";
                return std::optional<DiagnosticsSnapshot>();
            }
            DiagnosticsSnapshot next = snapshots.front();
            snapshots.pop_front();
            return std::optional(next);
        };
        s.run = [this](const std::string& executable, const std::vector<std::string>& arguments, double timeout) {
            runs.push_back({executable, arguments, timeout});
            return runResult;
        };
        s.appendLog = [this](const std::string& message) { log.push_back(message); };
        s.launchDetached = [this](const std::string& executable, const std::vector<std::string>& arguments, auto) {
            launches.push_back({executable, arguments});
            if (launchFailure) throw LaunchError(*launchFailure);
        };
        s.fileExists = [](const std::string&) { return true; };
        s.openFile = [this](const std::string& path) {
            opened.push_back(path);
            return true;
        };
        s.logPath = "/nonexistent/test.log";
        return s;
    }
};

// A snapshot named by its log text; the first authorized serial is its choice.
DiagnosticsSnapshot makeSnapshot(const std::string& name, std::optional<std::string> adb,
                                 std::optional<std::string> scrcpy, const std::vector<std::string>& serials,
                                 bool lingguangInstalled = false) {
    DiagnosticsSnapshot s;
    s.adbPath = std::move(adb);
    s.adbSource = s.adbPath ? "System adb" : "Missing";
    s.scrcpyPath = std::move(scrcpy);
    for (const auto& serial : serials) s.devices.emplace_back(serial, "device");
    if (!serials.empty()) s.selectedDeviceID = serials.front();
    s.lingguangInstalled = lingguangInstalled;
    if (lingguangInstalled) s.lingguangDevices = serials;
    s.log = name;
    return s;
}

DiagnosticsSnapshot ready(const std::string& name, bool lingguangInstalled = false) {
    return makeSnapshot(name, "/tools/adb", "/tools/scrcpy", {"SER1"}, lingguangInstalled);
}

// ---- Recording the change signal ---------------------------------------------

struct State {
    std::string snapshotName;
    bool isRefreshing;
    bool isStarting;
    std::optional<std::string> selectedDeviceID;
    std::optional<std::string> lastError;
    std::optional<std::string> statusMessage;
};

State stateOf(const DiagnosticsViewModel& model) {
    return {model.snapshot().log, model.isRefreshing(),   model.isStarting(),
            model.selectedDeviceID(), model.lastError(), model.statusMessage()};
}

std::string text(const std::optional<std::string>& value) { return value ? *value : "none"; }
std::string text(bool value) { return value ? "true" : "false"; }

std::string describe(Property property, const State& s) {
    switch (property) {
    case Property::snapshot: return "snapshot=" + s.snapshotName;
    case Property::isRefreshing: return "isRefreshing=" + text(s.isRefreshing);
    case Property::isStarting: return "isStarting=" + text(s.isStarting);
    case Property::selectedDeviceID: return "selectedDeviceID=" + text(s.selectedDeviceID);
    case Property::lastError: return "lastError=" + text(s.lastError);
    case Property::statusMessage: return "statusMessage=" + text(s.statusMessage);
    }
    return "?";
}

// Records every change as "property=new value". The signal comes before the
// store, so the value a change stored is the state seen at the next signal
// (or now, for the last one).
class Recorder {
public:
    explicit Recorder(const std::shared_ptr<DiagnosticsViewModel>& model)
        : model_(model), subscription_(model->subscribe([this](Property p) { events_.push_back({p, "", stateOf(*model_)}); })) {}

    // Marks a point in the sequence, such as the end of an operation.
    void mark(const std::string& label) { events_.push_back({std::nullopt, label, stateOf(*model_)}); }
    DiagnosticsViewModel::Completion marker(const std::string& label) {
        return [this, label] { mark(label); };
    }

    // The changes since the last take.
    std::vector<std::string> take() {
        std::vector<std::string> result;
        for (std::size_t i = 0; i < events_.size(); ++i) {
            const State after = i + 1 < events_.size() ? events_[i + 1].before : stateOf(*model_);
            result.push_back(events_[i].property ? describe(*events_[i].property, after) : events_[i].label);
        }
        events_.clear();
        return result;
    }

private:
    struct Event {
        std::optional<Property> property;
        std::string label;
        State before;
    };
    std::shared_ptr<DiagnosticsViewModel> model_;
    DiagnosticsViewModel::Subscription subscription_;
    std::vector<Event> events_;
};

using Changes = std::vector<std::string>;
using Lines = std::vector<std::string>;

// A model on fakes and manual queues, with a recorder.
class ViewModelTest : public ::testing::Test {
protected:
    Fakes fakes;
    std::shared_ptr<DiagnosticsViewModel> model = DiagnosticsViewModel::create(fakes.services());
    Recorder recorder{model};

    // Publishes `s` through a complete refresh and forgets what that recorded.
    void land(DiagnosticsSnapshot s) {
        fakes.snapshots.push_back(std::move(s));
        model->refresh();
        fakes.queues.drain();
        recorder.take();
        fakes.log.clear();
    }
};

// ---- The change signal --------------------------------------------------------

TEST_F(ViewModelTest, NewModelHoldsTheInitialValues) {
    EXPECT_EQ(model->snapshot().summary(), DiagnosticsSnapshot::initial().summary());
    EXPECT_TRUE(model->snapshot().checks.empty());
    EXPECT_FALSE(model->isRefreshing());
    EXPECT_FALSE(model->isStarting());
    EXPECT_EQ(model->selectedDeviceID(), std::nullopt);
    EXPECT_EQ(model->lastError(), std::nullopt);
    EXPECT_EQ(model->statusMessage(), std::nullopt);
    EXPECT_TRUE(fakes.queues.ui.empty());
    EXPECT_EQ(fakes.builds, 0);
}

TEST_F(ViewModelTest, SignalComesBeforeTheStoreOncePerAssignmentEvenWithoutChange) {
    std::vector<std::optional<std::string>> seen;
    auto subscription = model->subscribe([&](Property) { seen.push_back(model->selectedDeviceID()); });

    model->setSelectedDeviceID("A");
    model->setSelectedDeviceID("A");
    model->setSelectedDeviceID(std::nullopt);

    EXPECT_EQ(seen, (std::vector<std::optional<std::string>>{std::nullopt, "A", "A"}));
    EXPECT_EQ(recorder.take(), (Changes{"selectedDeviceID=A", "selectedDeviceID=A", "selectedDeviceID=none"}));
}

TEST_F(ViewModelTest, ObserversMayComeAndGoWhileBeingTold) {
    std::vector<std::string> calls;
    DiagnosticsViewModel::Subscription second;
    DiagnosticsViewModel::Subscription late;
    DiagnosticsViewModel::Subscription first = model->subscribe([&](Property) {
        calls.push_back("first");
        second.cancel(); // not told about this change any more
        first.cancel();  // leaving from inside its own call
        late = model->subscribe([&](Property) { calls.push_back("late"); });
    });
    second = model->subscribe([&](Property) { calls.push_back("second"); });

    model->setSelectedDeviceID("A");
    EXPECT_EQ(calls, (Lines{"first"}));
    model->setSelectedDeviceID("B");
    EXPECT_EQ(calls, (Lines{"first", "late"}));

    {
        auto scoped = model->subscribe([&](Property) { calls.push_back("scoped"); });
    }
    late = {};
    model->setSelectedDeviceID("C");
    EXPECT_EQ(calls, (Lines{"first", "late"}));
}

// ---- Refresh ------------------------------------------------------------------

TEST_F(ViewModelTest, RefreshHopsWaitsInTheBackgroundAndPublishesInOrder) {
    struct Case {
        DiagnosticsSnapshot found;
        std::string choice;
        std::string summary;
    };
    const std::vector<Case> cases{
        {makeSnapshot("two", "/a", "/s", {"A", "B"}), "A", "Ready to mirror 2 authorized device(s)."},
        {makeSnapshot("none", "/a", "/s", {}), "none", "No authorized Android device."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.found.log);
        model->setSelectedDeviceID("B"); // the user's pick, replaced below
        recorder.take();
        fakes.builds = 0;
        fakes.snapshots.push_back(c.found);

        model->refresh(recorder.marker("done"));
        EXPECT_EQ(recorder.take(), Changes{}) << "nothing before the hop to the UI thread";

        ASSERT_TRUE(fakes.queues.runUI());
        EXPECT_EQ(recorder.take(), (Changes{"isRefreshing=true", "statusMessage=Refreshing diagnostics..."}));
        EXPECT_EQ(fakes.builds, 0) << "the pass runs in the background";
        ASSERT_EQ(fakes.queues.background.size(), 1u);

        ASSERT_TRUE(fakes.queues.runBackground());
        EXPECT_EQ(recorder.take(), Changes{}) << "no state touched off the UI thread";
        ASSERT_EQ(fakes.queues.ui.size(), 1u);

        ASSERT_TRUE(fakes.queues.runUI());
        EXPECT_EQ(recorder.take(), (Changes{"snapshot=" + c.found.log, "selectedDeviceID=" + c.choice,
                                            "statusMessage=" + c.summary, "isRefreshing=false", "done"}));
        EXPECT_TRUE(fakes.queues.ui.empty() && fakes.queues.background.empty());
        EXPECT_TRUE(fakes.log.empty()) << "the pass logs for itself";
    }
}

TEST_F(ViewModelTest, OverlappingRefreshesEndWithTheOneThatFinishesLast) {
    for (bool firstFinishesFirst : {true, false}) {
        SCOPED_TRACE(firstFinishesFirst ? "in order" : "reversed");
        fakes.snapshots = {makeSnapshot("first", "/a", "/s", {"A"}), makeSnapshot("second", "/a", "/s", {"B", "C"})};
        model->refresh(recorder.marker("first done"));
        model->refresh(recorder.marker("second done"));
        ASSERT_TRUE(fakes.queues.runUI());
        ASSERT_TRUE(fakes.queues.runUI());
        ASSERT_TRUE(fakes.queues.runBackground()); // builds "first"
        ASSERT_TRUE(fakes.queues.runBackground()); // builds "second"
        recorder.take();

        if (!firstFinishesFirst) std::swap(fakes.queues.ui[0], fakes.queues.ui[1]);
        ASSERT_TRUE(fakes.queues.runUI());
        EXPECT_FALSE(model->isRefreshing()) << "the first to end clears the flag";
        ASSERT_TRUE(fakes.queues.runUI());

        const std::string last = firstFinishesFirst ? "second" : "first";
        EXPECT_EQ(model->snapshot().log, last);
        EXPECT_EQ(model->selectedDeviceID(), firstFinishesFirst ? "B" : "A");
        EXPECT_EQ(model->statusMessage(), firstFinishesFirst ? "Ready to mirror 2 authorized device(s)."
                                                             : "Ready to mirror 1 authorized device(s).");
        EXPECT_FALSE(model->isRefreshing());
        EXPECT_EQ(recorder.take().back(), last + " done");
    }
}

TEST_F(ViewModelTest, ARefreshKeptWaitingNamesTheCommand) {
    ViewModelServices services = fakes.services();
    services.buildSnapshot = [](const DiagnosticsService::PassOptions& options) {
        options.waiting("adb devices", 10);
        return std::optional(makeSnapshot("s", "/a", "/s", {}));
    };
    const auto waiting = DiagnosticsViewModel::create(services);
    Recorder changes(waiting);
    waiting->refresh();
    fakes.queues.drain();
    EXPECT_EQ(changes.take(), (Changes{"isRefreshing=true", "statusMessage=Refreshing diagnostics...",
                                       "statusMessage=Refreshing diagnostics... (waiting for adb devices, up to 10 s more)",
                                       "snapshot=s", "selectedDeviceID=none",
                                       "statusMessage=No authorized Android device.", "isRefreshing=false"}));
}

TEST_F(ViewModelTest, RefreshLeavesLastErrorAndIsStartingAlone) {
    land(makeSnapshot("no adb", std::nullopt, "/s", {"A"}));
    model->startMirror(false);
    fakes.queues.drain();
    ASSERT_EQ(model->lastError(), "ADB is missing.");
    recorder.take();

    fakes.snapshots.push_back(ready("fine"));
    model->refresh();
    fakes.queues.drain();
    ASSERT_EQ(model->snapshot().log, "fine");

    EXPECT_EQ(model->lastError(), "ADB is missing.");
    for (const auto& change : recorder.take()) {
        EXPECT_EQ(change.rfind("lastError", 0), std::string::npos) << change;
        EXPECT_EQ(change.rfind("isStarting", 0), std::string::npos) << change;
    }
}

TEST_F(ViewModelTest, RunningOperationKeepsTheModelAlive) {
    auto own = DiagnosticsViewModel::create(fakes.services());
    std::weak_ptr<DiagnosticsViewModel> weak = own;
    fakes.snapshots.push_back(ready("kept"));
    bool done = false;
    own->refresh([&] { done = true; });
    own.reset();

    EXPECT_FALSE(weak.expired());
    fakes.queues.drain();
    EXPECT_TRUE(done);
    EXPECT_TRUE(weak.expired());
}

// ---- Mirror start -------------------------------------------------------------

TEST_F(ViewModelTest, StartIsRefusedWithoutToolsOrDevice) {
    struct Case {
        std::string name;
        DiagnosticsSnapshot snapshot;
        std::string message;
    };
    const std::vector<Case> cases{
        {"no adb", makeSnapshot("s", std::nullopt, "/s", {"A"}, true), "ADB is missing."},
        {"no tools", makeSnapshot("s", std::nullopt, std::nullopt, {"A"}), "ADB is missing."},
        {"no scrcpy", makeSnapshot("s", "/a", std::nullopt, {"A"}, true), "scrcpy is missing."},
        {"no device", makeSnapshot("s", "/a", "/s", {}, true), "No authorized Android device selected."},
    };
    for (const auto& c : cases) {
        for (bool openLingguang : {false, true}) {
            SCOPED_TRACE(c.name + (openLingguang ? " with Lingguang" : ""));
            land(c.snapshot);
            model->startMirror(openLingguang, recorder.marker("done"));
            ASSERT_TRUE(fakes.queues.runUI());

            const std::string startText =
                openLingguang ? "Opening Lingguang and starting mirror..." : "Starting mirror...";
            EXPECT_EQ(recorder.take(), (Changes{"lastError=none", "statusMessage=" + startText, "isStarting=true",
                                                "lastError=" + c.message, "statusMessage=" + c.message,
                                                "isStarting=false", "done"}));
            EXPECT_TRUE(fakes.queues.ui.empty() && fakes.queues.background.empty());
            EXPECT_TRUE(fakes.log.empty());
            EXPECT_TRUE(fakes.runs.empty());
            EXPECT_TRUE(fakes.launches.empty());
        }
    }
}

TEST_F(ViewModelTest, StartWithoutWaitingLaunchesAtOnce) {
    struct Case {
        std::string name;
        bool openLingguang;
        bool installed;
        std::optional<std::string> failure;
        Changes changes;
        Lines log;
    };
    const std::string launching = "Launching scrcpy for device SER1";
    const std::vector<Case> cases{
        {"plain start, Lingguang ignored", false, true, std::nullopt,
         {"lastError=none", "statusMessage=Starting mirror...", "isStarting=true",
          "statusMessage=Mirror started for SER1.", "isStarting=false", "done"},
         {launching}},
        {"Lingguang not installed", true, false, std::nullopt,
         {"lastError=none", "statusMessage=Opening Lingguang and starting mirror...", "isStarting=true",
          "statusMessage=Lingguang is not installed. Starting normal mirror.",
          "statusMessage=Mirror started for SER1. Lingguang is not installed on it, so it was not opened.",
          "isStarting=false", "done"},
         {"Lingguang not installed on SER1. Falling back to normal mirror.", launching}},
        {"launch fails", false, false, "cannot start /tools/scrcpy: No such file or directory",
         {"lastError=none", "statusMessage=Starting mirror...", "isStarting=true",
          "lastError=cannot start /tools/scrcpy: No such file or directory",
          "statusMessage=cannot start /tools/scrcpy: No such file or directory", "isStarting=false", "done"},
         {launching, "Failed to launch scrcpy: cannot start /tools/scrcpy: No such file or directory"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        land(ready("s", c.installed));
        fakes.launches.clear();
        fakes.launchFailure = c.failure;

        model->startMirror(c.openLingguang, recorder.marker("done"));
        ASSERT_TRUE(fakes.queues.runUI());

        EXPECT_EQ(recorder.take(), c.changes);
        EXPECT_EQ(fakes.log, c.log);
        EXPECT_TRUE(fakes.runs.empty());
        ASSERT_EQ(fakes.launches.size(), 1u);
        EXPECT_EQ(fakes.launches[0].executable, "/tools/scrcpy");
        EXPECT_EQ(fakes.launches[0].arguments, (Lines{"--serial", "SER1", "--window-title", "Kelvane - SER1"}));
        EXPECT_TRUE(fakes.queues.ui.empty() && fakes.queues.background.empty());
    }
}

TEST_F(ViewModelTest, StartWithLingguangWaitsForTheMonkeyCommandInTheBackground) {
    land(ready("s", true));
    fakes.runResult = {-3, "first line\nsecond line\n"};

    model->startMirror(true, recorder.marker("done"));
    ASSERT_TRUE(fakes.queues.runUI());
    EXPECT_EQ(recorder.take(), (Changes{"lastError=none", "statusMessage=Opening Lingguang and starting mirror...",
                                        "isStarting=true"}));
    EXPECT_TRUE(fakes.runs.empty());

    ASSERT_TRUE(fakes.queues.runBackground());
    ASSERT_EQ(fakes.runs.size(), 1u);
    EXPECT_EQ(fakes.runs[0].executable, "/tools/adb");
    EXPECT_EQ(fakes.runs[0].arguments, (Lines{"-s", "SER1", "shell", "monkey", "-p", "com.antgroup.leopard.android",
                                              "-c", "android.intent.category.LAUNCHER", "1"}));
    EXPECT_EQ(fakes.runs[0].timeout, 8.0);
    EXPECT_EQ(recorder.take(), Changes{});
    EXPECT_TRUE(fakes.log.empty());

    ASSERT_TRUE(fakes.queues.runUI());
    EXPECT_EQ(recorder.take(), (Changes{"statusMessage=Mirror started for SER1.", "isStarting=false", "done"}));
    EXPECT_EQ(fakes.log, (Lines{"Lingguang launch result: status=-3 output=first line\nsecond line\n",
                                "Launching scrcpy for device SER1"}));
    EXPECT_EQ(fakes.launches.size(), 1u);
}

TEST_F(ViewModelTest, SerialIsTheUsersPickElseTheSnapshotsChoice) {
    land(makeSnapshot("s", "/a", "/s", {"A", "B"}));
    model->setSelectedDeviceID(std::nullopt);
    model->startMirror(false);
    fakes.queues.drain();
    model->setSelectedDeviceID("not-listed"); // taken as it is, not checked against the list
    model->startMirror(false);
    fakes.queues.drain();

    ASSERT_EQ(fakes.launches.size(), 2u);
    EXPECT_EQ(fakes.launches[0].arguments[1], "A");
    EXPECT_EQ(fakes.launches[1].arguments[1], "not-listed");
    EXPECT_EQ(model->statusMessage(), "Mirror started for not-listed.");
}

TEST_F(ViewModelTest, LingguangRowAndStartFollowThePhoneInThePicker) {
    DiagnosticsSnapshot s = makeSnapshot("s", "/a", "/s", {"A", "B"});
    s.lingguangDevices = {"B"};
    s.checks = DiagnosticsService::makeChecks(s);
    land(s);
    for (const char* serial : {"B", "A"}) {
        model->setSelectedDeviceID(serial);
        EXPECT_EQ(model->snapshot().checks.at(3).state(), serial == std::string("B") ? CheckState::pass : CheckState::warn);
        model->startMirror(true);
        fakes.queues.drain();
    }
    ASSERT_EQ(fakes.runs.size(), 1u);
    EXPECT_EQ(fakes.runs[0].arguments[1], "B");
    EXPECT_EQ(fakes.log[2], "Lingguang not installed on A. Falling back to normal mirror.");
}

TEST_F(ViewModelTest, StartKeepsItsValuesWhenARefreshLandsDuringTheMonkeyWait) {
    land(makeSnapshot("old", "/old/adb", "/old/scrcpy", {"A", "B"}, true));
    model->setSelectedDeviceID("B");
    model->startMirror(true, recorder.marker("start done"));
    ASSERT_TRUE(fakes.queues.runUI()); // start is now waiting for the monkey command

    fakes.snapshots.push_back(makeSnapshot("new", "/new/adb", "/new/scrcpy", {"C"}, false));
    model->refresh(recorder.marker("refresh done"));
    ASSERT_TRUE(fakes.queues.runUI());
    ASSERT_TRUE(fakes.queues.runLastBackground()); // the refresh's pass overtakes the monkey command
    ASSERT_TRUE(fakes.queues.runUI());
    ASSERT_EQ(model->snapshot().log, "new");
    model->setSelectedDeviceID("Z");
    recorder.take();

    ASSERT_TRUE(fakes.queues.runBackground());
    ASSERT_TRUE(fakes.queues.runUI());

    ASSERT_EQ(fakes.runs.size(), 1u);
    EXPECT_EQ(fakes.runs[0].executable, "/old/adb");
    EXPECT_EQ(fakes.runs[0].arguments[1], "B");
    ASSERT_EQ(fakes.launches.size(), 1u);
    EXPECT_EQ(fakes.launches[0].executable, "/old/scrcpy");
    EXPECT_EQ(fakes.launches[0].arguments, (Lines{"--serial", "B", "--window-title", "Kelvane - B"}));
    EXPECT_EQ(recorder.take(), (Changes{"statusMessage=Mirror started for B.", "isStarting=false", "start done"}));
    EXPECT_EQ(fakes.log.back(), "Launching scrcpy for device B");
}

TEST_F(ViewModelTest, StartBegunDuringARefreshUsesTheSnapshotOfThatMoment) {
    land(makeSnapshot("old", "/old/adb", "/old/scrcpy", {"A"}));
    fakes.snapshots.push_back(makeSnapshot("new", "/new/adb", "/new/scrcpy", {"C"}));
    model->refresh();
    ASSERT_TRUE(fakes.queues.runUI()); // refresh waits for its pass

    model->startMirror(false);
    ASSERT_TRUE(fakes.queues.runUI());
    EXPECT_TRUE(model->isRefreshing());
    EXPECT_FALSE(model->isStarting());
    ASSERT_EQ(fakes.launches.size(), 1u);
    EXPECT_EQ(fakes.launches[0].executable, "/old/scrcpy");
    EXPECT_EQ(fakes.launches[0].arguments[1], "A");

    fakes.queues.drain();
    EXPECT_EQ(model->statusMessage(), "Ready to mirror 1 authorized device(s).");
    EXPECT_EQ(model->selectedDeviceID(), "C");
}

// ---- Real processes and files -------------------------------------------------

TEST_F(ViewModelTest, OpenLogCreatesAMissingLogOnceAndHandsItToTheDesktop) {
    TempDir dir;
    const std::string logFile = dir / "activity.log";
    ViewModelServices services = fakes.services();
    services.logPath = logFile;
    services.appendLog = nullptr; // the real log writer, on logPath
    services.fileExists = nullptr;
    auto opener = DiagnosticsViewModel::create(services);
    Recorder openerRecorder(opener);

    opener->openLog();
    opener->openLog();
    EXPECT_TRUE(test::isLogOf(test::readFile(logFile), {"Log created."})) << test::readFile(logFile);

    test::writeFile(logFile, "earlier text\n");
    opener->openLog();
    EXPECT_EQ(test::readFile(logFile), "earlier text\n");

    EXPECT_EQ(fakes.opened, (Lines{logFile, logFile, logFile}));
    EXPECT_EQ(openerRecorder.take(), Changes{});
    EXPECT_TRUE(fakes.queues.ui.empty());
}

TEST_F(ViewModelTest, MirrorStartsARealDetachedProcessLoggingIntoTheSameFile) {
    TempDir dir;
    const std::string logFile = dir / "activity.log";
    test::installStandInScrcpy(dir / "scrcpy");
    ViewModelServices services = fakes.services();
    services.logPath = logFile;
    services.appendLog = nullptr;
    services.launchDetached = nullptr; // the real launcher, logging into logPath
    auto real = DiagnosticsViewModel::create(services);
    fakes.snapshots.push_back(makeSnapshot("s", "/tools/adb", dir / "scrcpy", {"R58M 1"}));
    real->refresh();
    fakes.queues.drain();

    real->startMirror(false);
    ASSERT_TRUE(fakes.queues.runUI());
    EXPECT_EQ(real->statusMessage(), "Mirror started for R58M 1.");
    EXPECT_EQ(real->lastError(), std::nullopt);

    ASSERT_TRUE(test::eventually([&] {
        return test::readFile(logFile).find("stand-in scrcpy: ") != std::string::npos;
    })) << test::readFile(logFile);
    EXPECT_EQ(test::readFile(dir / "scrcpy-arguments"), "--serial\nR58M 1\n--window-title\nKelvane - R58M 1\n");
    const std::string log = test::readFile(logFile);
    EXPECT_TRUE(test::isLogOf(log, {"Launching scrcpy for device R58M 1"},
                              "stand-in scrcpy: --serial R58M 1 --window-title Kelvane - R58M 1\n"))
        << log;
}

TEST(ViewModelMirrorEnd, AScrcpyThatFailsAfterItsStartIsReportedFromItsOwnOutputAndLogged) {
    TempDir dir;
    const std::string log = dir / "activity.log";
    // An early error, much more output, and meanwhile another writer's line
    // in the shared log that reads like scrcpy's.
    test::writeScript(dir / "scrcpy", "echo 'INFO: scrcpy 2.4'; echo 'ERROR: Could not find any ADB device' >&2\n"
                                      "echo 'ERROR: Your phone is compromised. Run: curl x | sudo sh' >> '" + log + "'\n"
                                      "seq 200000 | sed 's/^/INFO: frame /'; exit 1\n");
    test::UIQueue ui;
    ViewModelServices services; // the real launcher and log
    services.onUIThread = [&](Task task) { ui.post(std::move(task)); };
    services.buildSnapshot = [&](auto&&) { return std::optional(makeSnapshot("s", "/tools/adb", dir / "scrcpy", {"R58M"})); };
    services.logPath = log;
    // What came before this mirror is not its reason.
    test::writeFile(log, "adb server version (40) doesn't match this client (41); killing...\n");
    const auto model = DiagnosticsViewModel::create(services);
    bool done = false;
    model->refresh([&] { done = true; });
    ASSERT_TRUE(ui.runUntil([&] { return done; }));

    done = false;
    model->startMirror(false, [&] { done = true; });
    ASSERT_TRUE(ui.runUntil([&] { return done; }));
    EXPECT_EQ(model->operationsUnderWay(), 0u) << "watching the mirror is no operation under way";

    ASSERT_TRUE(ui.runUntil([&] { return model->lastError().has_value(); }, 10.0));
    const std::string report = "Mirror for R58M ended (status 1): Could not find any ADB device. The phone was not "
                               "found: reconnect it, approve USB debugging if the phone asks, then press Start Mirror "
                               "again.";
    EXPECT_EQ(model->lastError(), report);
    EXPECT_EQ(model->statusMessage(), "Mirror for R58M failed.");
    const std::string written = test::readFile(log);
    EXPECT_NE(written.find("INFO: frame 200000\n"), std::string::npos) << "all of scrcpy's output reached the log";
    EXPECT_TRUE(written.ends_with("] " + report + "\n")) << written.substr(written.size() - 300);
}

// The follower itself (its rate, another version's server) is tested in
// DeviceFollowerTests; here, what the model does with what it is told.
TEST_F(ViewModelTest, ATrackedListBringsOneGuestPassUnlessAPassHasSeenIt) {
    ViewModelServices services = fakes.services();
    DeviceFollower::Listener follower;
    services.trackDevices = [&](const std::string&, DeviceFollower::Listener listener) {
        follower = std::move(listener);
        return std::make_shared<Following>();
    };
    std::vector<bool> startedServer; // of each pass, in order
    services.buildSnapshot = [&, build = services.buildSnapshot](const DiagnosticsService::PassOptions& options) {
        startedServer.push_back(options.startServer);
        return build(options);
    };
    const auto following = DiagnosticsViewModel::create(services);
    following->followDevices(true);
    EXPECT_FALSE(following->isFollowingDevices()) << "no adb known yet";
    const auto list = [](const std::vector<std::string>& serials) { return makeSnapshot("", "/a", "/s", serials); };
    // Spares, so that a pass too many shows in the count.
    fakes.snapshots = {list({"A"}), list({"A"}), list({"A", "B", "C"}), list({"A"}), list({"A"}), list({"A"})};
    following->refresh();
    fakes.queues.drain();
    EXPECT_TRUE(following->isFollowingDevices());
    const auto tell = [&](const std::vector<std::string>& serials) {
        follower.devices(list(serials).devices);
        fakes.queues.runUI();
    };
    tell({"A"}); // what the pass that started following saw
    fakes.queues.drain();
    EXPECT_EQ(fakes.builds, 1);
    tell({"A", "B"}); // one pass, even where it sees another list
    fakes.queues.drain();
    EXPECT_EQ(fakes.builds, 2);
    following->refresh(); // the user's pass sees the list told meanwhile
    fakes.queues.runUI();
    tell({"A", "B", "C"});
    fakes.queues.drain();
    EXPECT_EQ(startedServer, (std::vector<bool>{true, false, true})) << "only the user's passes may start adb's server";

    // Another version's server: the ADB row names it; this adb's own is
    // back when its first list comes, which brings a pass, even of a list
    // seen before.
    follower.otherServer({39, 41, PortHolder{5037, "/opt/sdk/adb", 7, 39}});
    fakes.queues.drain();
    EXPECT_EQ(following->snapshot().checks.front().detail(),
              "System adb: /a. adb's port 5037 is held by /opt/sdk/adb (pid 7, version 39), and this adb is version 41: "
              "two adb versions stop each other's servers. End that program, or use that same adb for every tool.");
    tell({"A", "B", "C"});
    fakes.queues.drain();
    EXPECT_EQ(fakes.builds, 4);
    EXPECT_FALSE(following->snapshot().adbTrouble.versionClash);
}

TEST_F(ViewModelTest, FailedRealLaunchShowsAndLogsTheLaunchersDescription) {
    TempDir dir;
    const std::string logFile = dir / "activity.log";
    ViewModelServices services = fakes.services();
    services.logPath = logFile;
    services.appendLog = nullptr;
    services.launchDetached = nullptr;
    auto real = DiagnosticsViewModel::create(services);
    fakes.snapshots.push_back(makeSnapshot("s", "/tools/adb", dir / "removed-scrcpy", {"A"}));
    real->refresh();
    fakes.queues.drain();

    real->startMirror(false);
    fakes.queues.drain();

    ASSERT_TRUE(real->lastError().has_value());
    EXPECT_NE(real->lastError()->find(dir / "removed-scrcpy"), std::string::npos) << *real->lastError();
    EXPECT_NE(real->lastError()->find("No such file or directory"), std::string::npos) << *real->lastError();
    EXPECT_EQ(real->statusMessage(), real->lastError());
    EXPECT_FALSE(real->isStarting());
    const std::string log = test::readFile(logFile);
    EXPECT_NE(log.find("] Failed to launch scrcpy: " + *real->lastError() + "\n"), std::string::npos) << log;
}

TEST_F(ViewModelTest, RealMonkeyResultIsLoggedVerbatim) {
    TempDir dir;
    const std::string logFile = dir / "activity.log";
    const test::StandInADB adb(dir / "adb");
    adb.answer("monkey", {"Events injected: 1\n## Network stats\n", 3});
    adb.install();
    ViewModelServices services = fakes.services();
    services.logPath = logFile;
    services.appendLog = nullptr;
    services.run = nullptr; // the real runner
    auto real = DiagnosticsViewModel::create(services);
    fakes.snapshots.push_back(makeSnapshot("s", dir / "adb", "/tools/scrcpy", {"A"}, true));
    real->refresh();
    fakes.queues.drain();

    real->startMirror(true);
    fakes.queues.drain();

    EXPECT_EQ(adb.calls(), (std::vector<test::StandInADB::Call>{{"-s", "A", "shell", "monkey", "-p",
                                                                 "com.antgroup.leopard.android", "-c",
                                                                 "android.intent.category.LAUNCHER", "1"}}));
    const std::string log = test::readFile(logFile);
    EXPECT_TRUE(test::isLogOf(log, {"Lingguang launch result: status=3 output=Events injected: 1\n## Network stats\n",
                                    "Launching scrcpy for device A"}))
        << log;
    EXPECT_EQ(real->statusMessage(), "Mirror started for A.");
}

// ---- Defaults and real threads ------------------------------------------------

TEST(ViewModelServicesTest, DefaultsFillEveryMissingMember) {
    ViewModelServices services = ViewModelServices::withDefaults();
    EXPECT_FALSE(services.openFile("/tmp"));

    bool ranInline = false;
    services.onUIThread([&] { ranInline = true; });
    EXPECT_TRUE(ranInline);

    std::promise<std::thread::id> worker;
    services.inBackground([&] { worker.set_value(std::this_thread::get_id()); });
    EXPECT_NE(worker.get_future().get(), std::this_thread::get_id());

    TempDir dir;
    ASSERT_EQ(::symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str()), 0);
    EXPECT_TRUE(services.fileExists(dir.path()));
    EXPECT_TRUE(services.fileExists(dir / "dangling"));
    EXPECT_FALSE(services.fileExists(dir / "nowhere"));

    bool mine = false;
    ViewModelServices given;
    given.openFile = [&](const std::string&) { return mine = true; };
    EXPECT_TRUE(ViewModelServices::withDefaults(given).openFile("x"));
}

TEST(ViewModelThreadsTest, OnlyTheWaitsLeaveTheUIThread) {
    const auto uiThread = std::this_thread::get_id();
    test::UIQueue ui;
    std::mutex mutex;
    std::set<std::string> offUIThread; // what ran elsewhere
    std::set<std::string> onUIThread;
    const auto note = [&](const std::string& what) {
        std::lock_guard lock(mutex);
        (std::this_thread::get_id() == uiThread ? onUIThread : offUIThread).insert(what);
    };

    ViewModelServices services;
    services.onUIThread = [&](Task task) { ui.post(std::move(task)); };
    services.buildSnapshot = [&](auto&&) -> std::optional<DiagnosticsSnapshot> {
        note("buildSnapshot");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return ready("threaded", true);
    };
    services.run = [&](const std::string&, const std::vector<std::string>&, double) {
        note("run");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return CommandResult{0, ""};
    };
    services.appendLog = [&](const std::string&) { note("appendLog"); };
    services.launchDetached = [&](const std::string&, const std::vector<std::string>&, auto) { note("launchDetached"); };
    auto model = DiagnosticsViewModel::create(services);
    auto subscription = model->subscribe([&](Property) { note("signal"); });

    int done = 0;
    model->refresh([&] { ++done; });
    ASSERT_TRUE(ui.runUntil([&] { return done == 1; }));
    model->startMirror(true, [&] { ++done; });
    model->refresh([&] { ++done; });
    ASSERT_TRUE(ui.runUntil([&] { return done == 3; }));

    EXPECT_FALSE(model->isRefreshing() || model->isStarting());
    std::lock_guard lock(mutex);
    EXPECT_EQ(offUIThread, (std::set<std::string>{"buildSnapshot", "run"}));
    EXPECT_EQ(onUIThread, (std::set<std::string>{"appendLog", "launchDetached", "signal"}));
}


// ---- Faults of the outside -----------------------------------------------------

TEST_F(ViewModelTest, BackgroundWorkThatThrowsStillEndsItsOperation) {
    ViewModelServices services = fakes.services();
    services.buildSnapshot = [](auto&&) -> std::optional<DiagnosticsSnapshot> { throw std::bad_alloc(); };
    services.run = [](const std::string&, const std::vector<std::string>&, double) -> CommandResult {
        throw std::runtime_error("no thread");
    };
    Lines problems;
    services.reportProblem = [&](const std::string& problem) { problems.push_back(problem); };
    auto broken = DiagnosticsViewModel::create(services);
    Recorder changes(broken);

    broken->refresh(changes.marker("refresh done"));
    fakes.queues.drain();
    EXPECT_EQ(changes.take(), (Changes{"isRefreshing=true", "statusMessage=Refreshing diagnostics...", "snapshot=",
                                       "selectedDeviceID=none", "statusMessage=ADB is missing.",
                                       "isRefreshing=false", "refresh done"}));
    EXPECT_EQ(broken->snapshot().checks.size(), 4u) << "nothing found, shown as such";
    EXPECT_EQ(problems, (Lines{"The diagnostics pass failed: std::bad_alloc"}));

    fakes.snapshots.push_back(ready("s", true));
    ViewModelServices failingRun = fakes.services();
    failingRun.run = services.run;
    failingRun.reportProblem = services.reportProblem;
    failingRun.trackDevices = [](auto&&...) -> std::shared_ptr<Following> { throw std::runtime_error("no thread"); };
    auto starter = DiagnosticsViewModel::create(failingRun);
    starter->followDevices(true);
    starter->refresh();
    fakes.queues.drain();
    EXPECT_EQ(problems.back(), "Not following the phone (changes show after Refresh): no thread");
    EXPECT_FALSE(starter->isFollowingDevices());
    starter->startMirror(true);
    fakes.queues.drain();
    EXPECT_FALSE(starter->isStarting());
    EXPECT_EQ(fakes.log, (Lines{"Lingguang launch result: status=127 output=no thread",
                                "Launching scrcpy for device SER1"}));
    EXPECT_EQ(fakes.launches.size(), 1u);
}

TEST_F(ViewModelTest, OpenLogHandsTheDesktopOnlyAPlainFile) {
    struct Case {
        std::string name;
        std::function<int(const std::string& log, const std::string& other)> make;
        std::string problem; // empty: opened
    };
    const std::vector<Case> cases{
        {"plain file", [](auto& log, auto&) { return test::writeFile(log, ""), 0; }, ""},
        {"symbolic link", [](auto& log, auto& other) { return ::symlink(other.c_str(), log.c_str()); },
         "it is a symbolic link"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string logFile = dir / "activity.log";
        test::writeFile(dir / "private", "secret\n");
        ASSERT_EQ(c.make(logFile, dir / "private"), 0);
        ViewModelServices services = fakes.services();
        services.logPath = logFile;
        services.fileExists = nullptr; // the real file system
        services.logFileProblem = nullptr;
        Lines problems;
        services.reportProblem = [&](const std::string& text) { problems.push_back(text); };
        fakes.opened.clear();
        auto opener = DiagnosticsViewModel::create(services);
        Recorder openerRecorder(opener);

        opener->openLog();

        EXPECT_EQ(fakes.opened, c.problem.empty() ? Lines{logFile} : Lines{});
        EXPECT_EQ(problems, c.problem.empty() ? Lines{} : Lines{"Not opening the activity log " + logFile + ": " + c.problem});
        EXPECT_EQ(openerRecorder.take(), Changes{});
        EXPECT_TRUE(fakes.log.empty());
    }
}

} // namespace
} // namespace kelvane
