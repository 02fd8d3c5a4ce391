// The window, driven with real widgets against a real model whose outside
// calls are stand-ins: passes, commands and launches are recorded, and the
// slow ones wait at gates that each test opens when it wants.
#include "ContentView.h"
#include "KelvaneApp.h"
#include "ToolkitWarmUp.h"
#include "UIThreadExecutor.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QLayout>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QShowEvent>
#include <QTest>
#include <QThread>
#include <QtTest/qtestspontaneevent.h>
#ifdef KELVANE_SESSION_BUS
#include <QDBusConnection>
#endif

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace kelvane {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

constexpr int waitMilliseconds = 5000;
constexpr const char* adbPath = "/usr/bin/adb";
constexpr const char* scrcpyPath = "/usr/bin/scrcpy";
constexpr const char* serial = "R5CT1234ABC";
constexpr const char* testLogPath = "/tmp/kelvane-window-test.log";

// Holds background work until opened. Never holds longer than a few seconds,
// so a faulty test cannot hang the suite.
class Gate {
public:
    void close() {
        std::lock_guard lock(mutex_);
        open_ = false;
    }
    void open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
    }
    void pass() {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 10s, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = true;
};

// The model with stand-ins for everything outside it but Qt's UI thread.
class Harness {
public:
    Harness() { model = DiagnosticsViewModel::create(withQtServices(services())); }

    ~Harness() {
        passGate.open();
        runGate.open();
        for (std::thread& worker : takeWorkers()) worker.join();
        // Deliver what the workers posted while the model is still here.
        for (int round = 0; round < 3; ++round) QCoreApplication::processEvents();
    }

    void setNext(DiagnosticsSnapshot snapshot) {
        std::lock_guard lock(mutex);
        next = std::move(snapshot);
    }
    // A whole refresh that publishes `snapshot`.
    void refreshTo(DiagnosticsSnapshot snapshot) {
        setNext(std::move(snapshot));
        bool done = false;
        model->refresh([&done] { done = true; });
        EXPECT_TRUE(QTest::qWaitFor([&] { return done; }, waitMilliseconds));
        settle();
    }
    int passesStarted() {
        std::lock_guard lock(mutex);
        return started;
    }
    std::vector<Strings> runs() {
        std::lock_guard lock(mutex);
        return runCalls;
    }
    std::vector<Strings> launches() {
        std::lock_guard lock(mutex);
        return launchCalls;
    }

    // Waits until the refresh that showing a window starts has ended and
    // has been drawn.
    bool firstPassShown() {
        if (!QTest::qWaitFor([&] { return passesStarted() == 1 && !model->isRefreshing(); }, waitMilliseconds)) {
            return false;
        }
        settle();
        return true;
    }

    // Lets pending redraws and layouts happen.
    static void settle() {
        for (int round = 0; round < 3; ++round) QCoreApplication::processEvents();
    }

    Gate passGate;
    Gate runGate;
    std::optional<std::string> launchFailure;
    Strings opened;
    Strings logEntries;
    std::shared_ptr<DiagnosticsViewModel> model;

private:
    ViewModelServices services() {
        ViewModelServices services;
        services.inBackground = [this](Task task) {
            std::lock_guard lock(mutex);
            workers.emplace_back(std::move(task));
        };
        services.buildSnapshot = [this](const DiagnosticsService::PassOptions&) -> std::optional<DiagnosticsSnapshot> {
            {
                std::lock_guard lock(mutex);
                ++started;
            }
            passGate.pass();
            std::lock_guard lock(mutex);
            return next;
        };
        services.run = [this](const std::string& executable, const Strings& arguments, double) {
            {
                std::lock_guard lock(mutex);
                Strings call{executable};
                call.insert(call.end(), arguments.begin(), arguments.end());
                runCalls.push_back(call);
            }
            runGate.pass();
            return CommandResult{0, "Events injected: 1\n"};
        };
        services.appendLog = [this](const std::string& entry) {
            std::lock_guard lock(mutex);
            logEntries.push_back(entry);
        };
        services.launchDetached = [this](const std::string& executable, const Strings& arguments, auto) {
            {
                std::lock_guard lock(mutex);
                Strings call{executable};
                call.insert(call.end(), arguments.begin(), arguments.end());
                launchCalls.push_back(call);
            }
            if (launchFailure) throw LaunchError(*launchFailure);
        };
        services.fileExists = [](const std::string&) { return true; };
        services.logFileProblem = [](const std::string&) { return std::nullopt; };
        services.openFile = [this](const std::string& path) {
            opened.push_back(path);
            return true;
        };
        services.logPath = testLogPath;
        // The window's tests follow no phone.
        services.trackDevices = [](const std::string&, auto) { return std::make_shared<Following>(); };
        return services;
    }

    std::vector<std::thread> takeWorkers() {
        std::lock_guard lock(mutex);
        return std::move(workers);
    }

    std::mutex mutex;
    DiagnosticsSnapshot next;
    int started = 0;
    std::vector<Strings> runCalls;
    std::vector<Strings> launchCalls;
    std::vector<std::thread> workers;
};

DiagnosticsSnapshot snapshotWith(std::optional<std::string> adb, std::optional<std::string> scrcpy,
                                 std::vector<AndroidDevice> devices) {
    DiagnosticsSnapshot snapshot;
    snapshot.adbPath = std::move(adb);
    snapshot.adbSource = snapshot.adbPath ? "System adb" : "Missing";
    snapshot.scrcpyPath = std::move(scrcpy);
    snapshot.devices = std::move(devices);
    if (!snapshot.authorizedDevices().empty()) snapshot.selectedDeviceID = snapshot.authorizedDevices().front().id();
    return snapshot;
}

// One phone, both tools, Lingguang installed: all four rows pass.
DiagnosticsSnapshot readySnapshot() {
    DiagnosticsSnapshot snapshot = snapshotWith(adbPath, scrcpyPath, {AndroidDevice(serial, "device")});
    snapshot.lingguangInstalled = true;
    snapshot.lingguangDevices = {serial};
    snapshot.checks = {
        CheckItem("ADB", CheckState::pass, std::string("System adb: ") + adbPath),
        CheckItem("scrcpy", CheckState::pass, scrcpyPath),
        CheckItem("Android Device", CheckState::pass, "1 authorized device(s)."),
        CheckItem("Lingguang", CheckState::pass, "Installed on selected device."),
    };
    snapshot.log = std::string("$ adb devices\nList of devices attached\n") + serial +
        "\tdevice\n\n$ adb shell pm list packages com.antgroup.leopard.android\n"
        "package:com.antgroup.leopard.android\n";
    return snapshot;
}

template <typename T>
T* child(QWidget* parent, const char* name) {
    T* found = parent->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
}

QString text(const QWidget* parent, const char* name) {
    return child<QLabel>(const_cast<QWidget*>(parent), name)->text();
}

struct Buttons {
    bool refresh, startMirror, lingguangMirror, copyInstall, openLog;
    bool operator==(const Buttons&) const = default;
};

Buttons buttonStates(QWidget* view) {
    return {child<QPushButton>(view, "refreshButton")->isEnabled(),
            child<QPushButton>(view, "startMirrorButton")->isEnabled(),
            child<QPushButton>(view, "lingguangMirrorButton")->isEnabled(),
            child<QPushButton>(view, "copyInstallButton")->isEnabled(),
            child<QPushButton>(view, "openLogButton")->isEnabled()};
}

std::string describe(const Buttons& b) {
    return std::string("refresh=") + (b.refresh ? "on" : "off") + " start=" + (b.startMirror ? "on" : "off") +
        " lingguang=" + (b.lingguangMirror ? "on" : "off") + " copy=" + (b.copyInstall ? "on" : "off") +
        " log=" + (b.openLog ? "on" : "off");
}

QColor statusDotColor(QWidget* view) { return child<Dot>(view, "statusDot")->color(); }

// A content view shown in a window of its own, with its model.
struct Shown {
    Harness harness;
    ContentView view{harness.model};
    Shown() {
        view.resize(minimumWindowWidth, minimumWindowHeight);
        view.show();
        Harness::settle();
    }
};

// The application's window, shown, after its first pass found everything ready.
struct ShownWindow {
    Harness harness;
    KelvaneWindow window{harness.model};
    ShownWindow() {
        harness.setNext(readySnapshot());
        window.show();
        EXPECT_TRUE(harness.firstPassShown());
    }
};

// ---- Tests ---------------------------------------------------------------

TEST(ContentView, BeforeTheFirstRefreshShowsTheInitialState) {
    Shown shown;
    QWidget* view = &shown.view;

    EXPECT_EQ(text(view, "title"), "Kelvane");
    EXPECT_EQ(child<QLabel>(view, "title")->font().pixelSize(), 30);
    EXPECT_EQ(text(view, "description"), "Diagnose adb, scrcpy, USB authorization, and start Android mirroring.");
    EXPECT_EQ(text(view, "statusText"), "ADB is missing.");
    EXPECT_EQ(statusDotColor(view), warningColor());
    EXPECT_FALSE(child<BusyIndicator>(view, "busyIndicator")->isVisible());
    EXPECT_TRUE(view->findChildren<QWidget*>("checkRow").isEmpty());

    auto* picker = child<QComboBox>(view, "devicePicker");
    EXPECT_EQ(text(view, "deviceLabel"), "Device");
    EXPECT_EQ(picker->accessibleName(), "Device");
    EXPECT_LE(picker->width(), 320);
    ASSERT_EQ(picker->count(), 1);
    EXPECT_EQ(picker->itemText(0), "No authorized device");
    EXPECT_EQ(picker->itemData(0).toString(), "");
    EXPECT_EQ(picker->currentIndex(), 0);

    EXPECT_FALSE(child<QLabel>(view, "errorLine")->isVisible());
    EXPECT_EQ(text(view, "logTitle"), "Diagnostics Log");
    auto* log = child<QPlainTextEdit>(view, "logText");
    EXPECT_EQ(log->toPlainText(), "No diagnostics output yet.");
    const QFontMetricsF logMetrics(log->font());
    EXPECT_EQ(logMetrics.horizontalAdvance(QLatin1Char('i')), logMetrics.horizontalAdvance(QLatin1Char('M')));
    EXPECT_TRUE(log->isReadOnly());
    EXPECT_TRUE(log->textInteractionFlags() & Qt::TextSelectableByMouse);
    EXPECT_EQ(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

    EXPECT_EQ(buttonStates(view), (Buttons{true, false, false, true, true}));
    const char* labels[][2] = {{"refreshButton", "Refresh"},
                               {"startMirrorButton", "Start Mirror"},
                               {"lingguangMirrorButton", "Open Lingguang + Mirror"},
                               {"copyInstallButton", "Copy Install Command"},
                               {"openLogButton", "Open Log"}};
    for (const auto& [name, label] : labels) {
        auto* button = child<QPushButton>(view, name);
        EXPECT_EQ(button->text(), label);
        EXPECT_TRUE(button->shortcut().isEmpty()) << name;
        EXPECT_FALSE(button->autoDefault() || button->isDefault()) << name;
    }
}

TEST(ContentView, ButtonsBusyIndicatorAndDotFollowTheModel) {
    struct Case {
        const char* name;
        std::function<void(Harness&, QWidget*)> arrange;
        Buttons buttons;
        bool busy;
        bool green;
    };
    const auto refreshHeld = [](Harness& h, QWidget*) {
        const int before = h.passesStarted();
        h.passGate.close();
        h.model->refresh();
        ASSERT_TRUE(QTest::qWaitFor([&] { return h.passesStarted() == before + 1; }, waitMilliseconds));
        Harness::settle();
    };
    const Case cases[] = {
        {"idle, nothing known", [](Harness&, QWidget*) {}, {true, false, false, true, true}, false, false},
        {"idle, ready", [](Harness& h, QWidget*) { h.refreshTo(readySnapshot()); }, {true, true, true, true, true}, false, true},
        {"refreshing, not ready", refreshHeld, {false, false, false, true, true}, true, false},
        {"refreshing, ready",
         [&](Harness& h, QWidget* view) {
             h.refreshTo(readySnapshot());
             refreshHeld(h, view);
         },
         {false, true, true, true, true}, true, true},
        {"starting",
         [](Harness& h, QWidget*) {
             h.refreshTo(readySnapshot());
             h.runGate.close();
             h.model->startMirror(true);
             ASSERT_TRUE(QTest::qWaitFor([&] { return !h.runs().empty(); }, waitMilliseconds));
             Harness::settle();
         },
         {false, false, false, true, true}, true, true},
        {"no adb", [](Harness& h, QWidget*) { h.refreshTo(snapshotWith({}, scrcpyPath, {AndroidDevice(serial, "device")})); },
         {true, false, false, true, true}, false, false},
        {"no scrcpy", [](Harness& h, QWidget*) { h.refreshTo(snapshotWith(adbPath, {}, {AndroidDevice(serial, "device")})); },
         {true, false, false, true, true}, false, false},
        {"no authorized device",
         [](Harness& h, QWidget*) {
             h.refreshTo(snapshotWith(adbPath, scrcpyPath, {AndroidDevice("A1", "unauthorized"), AndroidDevice("B2", "offline")}));
         },
         {true, false, false, true, true}, false, false},
        {"empty paths count as found", [](Harness& h, QWidget*) { h.refreshTo(snapshotWith("", "", {AndroidDevice(serial, "device")})); },
         {true, true, true, true, true}, false, true},
    };
    std::optional<int> statusHeight;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Shown shown;
        c.arrange(shown.harness, &shown.view);
        EXPECT_EQ(buttonStates(&shown.view), c.buttons) << describe(buttonStates(&shown.view));
        EXPECT_EQ(child<BusyIndicator>(&shown.view, "busyIndicator")->isVisible(), c.busy);
        // The indicator stands right after the text; the status box keeps its height and width without it.
        const QRect box = child<QWidget>(&shown.view, "statusBar")->geometry();
        if (c.busy) EXPECT_GT(child<QWidget>(&shown.view, "busyIndicator")->x(), child<QLabel>(&shown.view, "statusText")->geometry().right());
        EXPECT_EQ(box.height(), statusHeight.value_or(box.height()));
        EXPECT_EQ(box.width(), shown.view.width() - 2 * 24);
        statusHeight = box.height();
        EXPECT_EQ(statusDotColor(&shown.view), c.green ? readyColor() : warningColor());
        // What a screen reader is told instead of the dot and the spinner.
        QAccessibleInterface* status = QAccessible::queryAccessibleInterface(child<QWidget>(&shown.view, "statusBar"));
        EXPECT_EQ(status->role(), QAccessible::StatusBar);
        EXPECT_EQ(status->text(QAccessible::Name), text(&shown.view, "statusText"));
        EXPECT_EQ(status->text(QAccessible::Description), c.green ? "ready" : "not ready");
        EXPECT_EQ(status->childCount(), 2); // the text and the busy indicator, no dot
        QAccessibleInterface* busy = QAccessible::queryAccessibleInterface(child<QWidget>(&shown.view, "busyIndicator"));
        EXPECT_EQ(busy->role(), QAccessible::ProgressBar);
        EXPECT_EQ(bool(busy->state().busy), c.busy);
    }
}

TEST(ContentView, ARedrawLeavesEveryWidgetInItsNewPlace) {
    // The redraw itself lays out: before the event loop has handled any
    // layout request, the longer status sentence has its full width and
    // the new checklist rows their places.
    Shown shown;
    Harness& h = shown.harness;
    h.passGate.close();
    h.setNext(readySnapshot());
    h.model->refresh();
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.passesStarted() == 1; }, waitMilliseconds));
    Harness::settle();
    auto* status = child<QLabel>(&shown.view, "statusText");
    const int widthBefore = status->width();

    h.passGate.open();
    // Only queued calls (the model's tasks and the redraw), no layout requests.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while ((h.model->isRefreshing() || status->text() != "Ready to mirror 1 authorized device(s).") &&
           std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(status->text(), "Ready to mirror 1 authorized device(s).");
    EXPECT_GT(status->width(), widthBefore);
    EXPECT_GE(status->width(), status->fontMetrics().horizontalAdvance(status->text()));
    EXPECT_EQ(status->height(), status->heightForWidth(status->width()));
    const QList<QWidget*> rows = shown.view.findChildren<QWidget*>("checkRow");
    ASSERT_EQ(rows.size(), 4);
    for (int index = 1; index < rows.size(); ++index) EXPECT_GT(rows[index]->y(), rows[index - 1]->y()) << index;
    EXPECT_GT(child<QComboBox>(&shown.view, "devicePicker")->y(), rows.back()->parentWidget()->geometry().bottom());
}

TEST(ContentView, ClicksStartTheirOperationsWithoutWaitingForThem) {
    Shown shown;
    Harness& h = shown.harness;
    QWidget* view = &shown.view;
    h.refreshTo(readySnapshot());

    // Refresh: the click returns while the pass is still held.
    h.passGate.close();
    auto clickedAt = std::chrono::steady_clock::now();
    QTest::mouseClick(child<QPushButton>(view, "refreshButton"), Qt::LeftButton);
    EXPECT_LT(std::chrono::steady_clock::now() - clickedAt, 2s);
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.passesStarted() == 2; }, waitMilliseconds));
    Harness::settle();
    EXPECT_EQ(text(view, "statusText"), "Refreshing diagnostics...");
    EXPECT_TRUE(child<BusyIndicator>(view, "busyIndicator")->isVisible());
    h.passGate.open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !h.model->isRefreshing(); }, waitMilliseconds));
    Harness::settle();
    EXPECT_EQ(text(view, "statusText"), "Ready to mirror 1 authorized device(s).");
    EXPECT_FALSE(child<BusyIndicator>(view, "busyIndicator")->isVisible());

    // Start Mirror: scrcpy for the chosen phone, no adb command.
    QTest::mouseClick(child<QPushButton>(view, "startMirrorButton"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.launches().size() == 1; }, waitMilliseconds));
    EXPECT_EQ(h.launches()[0], (Strings{scrcpyPath, "--serial", serial, "--window-title", std::string("Kelvane - ") + serial}));
    EXPECT_TRUE(h.runs().empty());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !h.model->isStarting(); }, waitMilliseconds));
    Harness::settle();
    EXPECT_EQ(text(view, "statusText"), QString("Mirror started for ") + serial + ".");

    // Open Lingguang + Mirror: returns while the phone command is held.
    h.runGate.close();
    clickedAt = std::chrono::steady_clock::now();
    QTest::mouseClick(child<QPushButton>(view, "lingguangMirrorButton"), Qt::LeftButton);
    EXPECT_LT(std::chrono::steady_clock::now() - clickedAt, 2s);
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.runs().size() == 1; }, waitMilliseconds));
    EXPECT_EQ(h.runs()[0][0], adbPath);
    EXPECT_EQ(h.runs()[0][4], "monkey");
    Harness::settle();
    EXPECT_EQ(text(view, "statusText"), "Opening Lingguang and starting mirror...");
    EXPECT_EQ(h.launches().size(), 1u);
    h.runGate.open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.launches().size() == 2 && !h.model->isStarting(); }, waitMilliseconds));

    // Open Log: at once, in the click.
    QTest::mouseClick(child<QPushButton>(view, "openLogButton"), Qt::LeftButton);
    EXPECT_EQ(h.opened, Strings{testLogPath});

    // A disabled button ignores clicks; Return does not press a focused one.
    h.refreshTo(snapshotWith(adbPath, {}, {}));
    QTest::mouseClick(child<QPushButton>(view, "startMirrorButton"), Qt::LeftButton);
    auto* refresh = child<QPushButton>(view, "refreshButton");
    refresh->setFocus();
    QTest::keyClick(refresh, Qt::Key_Return);
    QTest::keyClick(refresh, Qt::Key_Enter);
    Harness::settle();
    EXPECT_EQ(h.launches().size(), 2u);
    EXPECT_EQ(h.passesStarted(), 3);
}

TEST(ContentView, ABurstOfClicksStartsOneOperation) {
    // Three clicks delivered back to back, before any queued redraw.
    Shown shown;
    Harness& h = shown.harness;
    h.refreshTo(readySnapshot());
    const auto burst = [&](const char* name, const std::function<bool()>& started) {
        auto* button = child<QPushButton>(&shown.view, name);
        button->click();
        button->click();
        child<QPushButton>(&shown.view, "refreshButton")->click(); // refused while a start waits
        ASSERT_TRUE(QTest::qWaitFor([&] { return started() && !h.model->isStarting() && !h.model->isRefreshing(); },
                                    waitMilliseconds));
        Harness::settle();
    };
    burst("startMirrorButton", [&] { return !h.launches().empty(); });
    burst("lingguangMirrorButton", [&] { return h.launches().size() >= 2; });
    burst("refreshButton", [&] { return h.passesStarted() >= 2; });
    // The second press of a double click, after the start of the first has
    // ended, is no second click.
    QTest::mouseClick(child<QPushButton>(&shown.view, "startMirrorButton"), Qt::LeftButton);
    QTest::mouseClick(child<QPushButton>(&shown.view, "startMirrorButton"), Qt::LeftButton);
    EXPECT_EQ(h.launches().size(), 3u);
    EXPECT_EQ(h.runs().size(), 1u);
    EXPECT_EQ(h.passesStarted(), 3) << "the first burst's refresh came once its plain start had ended";
    EXPECT_EQ(buttonStates(&shown.view), (Buttons{true, true, true, true, true}));
}

TEST(ContentView, PickerOffersAuthorizedDevicesAndWritesBackOnlyTheUsersChoice) {
    Shown shown;
    Harness& h = shown.harness;
    auto* picker = child<QComboBox>(&shown.view, "devicePicker");
    h.refreshTo(snapshotWith(adbPath, scrcpyPath,
                             {AndroidDevice("A1", "device"), AndroidDevice("U1", "unauthorized"),
                              AndroidDevice("O1", "offline"), AndroidDevice("B2", "device")}));
    ASSERT_EQ(picker->count(), 2);
    EXPECT_EQ(picker->itemText(0), "A1");
    EXPECT_EQ(picker->itemText(1), "B2");
    EXPECT_EQ(picker->itemData(1).toString(), "B2");
    EXPECT_EQ(picker->currentIndex(), 0);

    // The model's choice is shown as chosen.
    h.model->setSelectedDeviceID("B2");
    Harness::settle();
    EXPECT_EQ(picker->currentIndex(), 1);

    // The user's choice is written back and nothing else changes.
    const auto statusBefore = h.model->statusMessage();
    picker->setFocus();
    QTest::keyClick(picker, Qt::Key_Up);
    Harness::settle();
    EXPECT_EQ(h.model->selectedDeviceID(), std::optional<std::string>("A1"));
    EXPECT_EQ(h.model->statusMessage(), statusBefore);
    EXPECT_FALSE(h.model->isRefreshing());
    EXPECT_EQ(h.passesStarted(), 1);

    // A value matching no entry shows no entry and is not overwritten.
    h.model->setSelectedDeviceID("gone");
    Harness::settle();
    EXPECT_EQ(picker->currentIndex(), -1);
    EXPECT_EQ(h.model->selectedDeviceID(), std::optional<std::string>("gone"));

    // A phone that goes while the pop-up is open moves no entry under the
    // pointer; the list follows once the pop-up closes.
    picker->showPopup();
    h.refreshTo(snapshotWith(adbPath, scrcpyPath, {AndroidDevice("B2", "device")}));
    EXPECT_EQ(picker->count(), 2);
    picker->hidePopup();
    Harness::settle();
    EXPECT_EQ(picker->count(), 1);

    // With no authorized device, the single entry stands for no device.
    h.refreshTo(snapshotWith(adbPath, scrcpyPath, {AndroidDevice("U1", "unauthorized")}));
    ASSERT_EQ(picker->count(), 1);
    EXPECT_EQ(picker->itemText(0), "No authorized device");
    EXPECT_EQ(picker->currentIndex(), 0);
    h.model->setSelectedDeviceID("stale");
    Harness::settle();
    EXPECT_EQ(picker->currentIndex(), -1);
    QTest::keyClick(picker, Qt::Key_Down);
    Harness::settle();
    EXPECT_EQ(h.model->selectedDeviceID(), std::nullopt);
    EXPECT_EQ(picker->currentIndex(), 0);

    // The picker grows with its entries.
    const QString longSerial = QStringLiteral("R58M1234567890ABCDEFGH");
    h.refreshTo(snapshotWith(adbPath, scrcpyPath, {AndroidDevice(longSerial.toStdString(), "device")}));
    EXPECT_GT(picker->width(), picker->fontMetrics().horizontalAdvance(longSerial));
}

TEST(ContentView, ChecklistRowsShowStateColoursAndSelectableDetails) {
    Shown shown;
    Harness& h = shown.harness;
    DiagnosticsSnapshot snapshot = snapshotWith(adbPath, {}, {});
    snapshot.checks = {CheckItem("ADB", CheckState::pass, "System adb: /usr/bin/adb"),
                       CheckItem("Android Device", CheckState::warn, "<b>not</b> & authorized"),
                       CheckItem("scrcpy", CheckState::fail, "Missing.")};
    h.refreshTo(snapshot);

    const QList<QWidget*> rows = shown.view.findChildren<QWidget*>("checkRow");
    ASSERT_EQ(rows.size(), 3);
    const QColor expected[] = {readyColor(), warningColor(), failureColor()};
    EXPECT_NE(expected[0], expected[1]);
    EXPECT_NE(expected[1], expected[2]);
    for (int index = 0; index < rows.size(); ++index) {
        SCOPED_TRACE(index);
        EXPECT_EQ(child<Dot>(rows[index], "checkDot")->color(), expected[index]);
        auto* title = child<QLabel>(rows[index], "checkTitle");
        auto* detail = child<QLabel>(rows[index], "checkDetail");
        EXPECT_FALSE(title->textInteractionFlags() & Qt::TextSelectableByMouse);
        EXPECT_TRUE(detail->textInteractionFlags() & Qt::TextSelectableByMouse);
        EXPECT_TRUE(title->font().bold());
        EXPECT_LT(detail->geometry().top(), rows[index]->height());
        if (index > 0) EXPECT_LT(rows[index - 1]->y(), rows[index]->y());
    }
    EXPECT_EQ(text(rows[1], "checkTitle"), "Android Device");
    EXPECT_EQ(text(rows[1], "checkDetail"), "<b>not</b> & authorized");
    EXPECT_EQ(child<QLabel>(rows[1], "checkDetail")->textFormat(), Qt::PlainText);

    // A redraw for another reason keeps a selection the user has made, in a
    // detail and in the log.
    auto* detail = child<QLabel>(rows[0], "checkDetail");
    detail->setSelection(0, 6);
    auto* log = child<QPlainTextEdit>(&shown.view, "logText");
    log->selectAll();
    h.model->setSelectedDeviceID("elsewhere");
    Harness::settle();
    EXPECT_EQ(detail->selectedText(), "System");
    EXPECT_TRUE(log->textCursor().hasSelection());

    // Fewer checks, fewer rows.
    snapshot.checks.pop_back();
    h.refreshTo(snapshot);
    EXPECT_EQ(shown.view.findChildren<QWidget*>("checkRow").size(), 2);
}

TEST(ContentView, CopyInstallCommandReplacesTheClipboardWithPlainText) {
    Shown shown;
    auto* before = new QMimeData;
    before->setHtml("<b>old</b>");
    before->setText("old");
    before->setData("application/x-kelvane-test", "x");
    QGuiApplication::clipboard()->setMimeData(before);

    QTest::mouseClick(child<QPushButton>(&shown.view, "copyInstallButton"), Qt::LeftButton);
    const QMimeData* now = QGuiApplication::clipboard()->mimeData();
    ASSERT_NE(now, nullptr);
#ifdef Q_OS_MACOS
    EXPECT_EQ(now->text(), "brew install android-platform-tools scrcpy");
#else
    EXPECT_EQ(now->text(), "sudo apt install adb scrcpy");
#endif
    EXPECT_FALSE(now->hasHtml());
    EXPECT_FALSE(now->hasFormat("application/x-kelvane-test"));
    EXPECT_EQ(shown.harness.model->statusMessage(), std::nullopt);
    EXPECT_TRUE(shown.harness.logEntries.empty());
}

TEST(ContentView, ErrorLineStandsAboveTheLogTitleWhileAnErrorIsKept) {
    Shown shown;
    Harness& h = shown.harness;
    QWidget* view = &shown.view;
    h.refreshTo(readySnapshot());
    auto* error = child<QLabel>(view, "errorLine");
    auto* logTitle = child<QLabel>(view, "logTitle");
    const int titleTopWithoutError = logTitle->y();

    const std::string failure = "Cannot start /usr/bin/scrcpy: No such file or directory";
    h.launchFailure = failure;
    QTest::mouseClick(child<QPushButton>(view, "startMirrorButton"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return error->isVisible(); }, waitMilliseconds));
    Harness::settle();
    EXPECT_EQ(error->text().toStdString(), failure);
    EXPECT_EQ(text(view, "statusText").toStdString(), failure);
    EXPECT_EQ(error->palette().color(QPalette::WindowText), failureColor());
    EXPECT_EQ(error->y(), titleTopWithoutError);
    EXPECT_LT(error->geometry().bottom(), logTitle->y());

    // A refresh keeps it.
    h.refreshTo(readySnapshot());
    EXPECT_TRUE(error->isVisible());

    // An empty description is shown as it is, in both places. (Clicks set
    // apart: two within the double-click interval are one.)
    QTest::qWait(QApplication::doubleClickInterval());
    h.launchFailure = "";
    QTest::mouseClick(child<QPushButton>(view, "startMirrorButton"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return error->text().isEmpty() && !h.model->isStarting(); }, waitMilliseconds));
    Harness::settle();
    EXPECT_EQ(text(view, "statusText"), "");

    // The next good start removes it and the title moves back up.
    QTest::qWait(QApplication::doubleClickInterval());
    h.launchFailure.reset();
    QTest::mouseClick(child<QPushButton>(view, "startMirrorButton"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !error->isVisible(); }, waitMilliseconds));
    Harness::settle();
    EXPECT_EQ(logTitle->y(), titleTopWithoutError);
}

TEST(ContentView, LogShowsTheTranscriptVerbatimAndScrollsInAFixedBox) {
    Shown shown;
    Harness& h = shown.harness;
    auto* log = child<QPlainTextEdit>(&shown.view, "logText");

    DiagnosticsSnapshot snapshot = snapshotWith(adbPath, {}, {});
    snapshot.log = " \n";
    h.refreshTo(snapshot);
    EXPECT_EQ(log->toPlainText(), " \n");

    const int heightBefore = shown.view.sizeHint().height();
    std::string longLog;
    for (int line = 0; line < 200; ++line) longLog += "line " + std::to_string(line) + "\n";
    snapshot.log = longLog;
    h.refreshTo(snapshot);
    EXPECT_EQ(log->height(), 130);
    EXPECT_GT(log->verticalScrollBar()->maximum(), 0);
    EXPECT_EQ(shown.view.sizeHint().height(), heightBefore);
}

// ---- Screen readers and the keyboard -----------------------------------------

QAccessibleInterface* labelOf(QAccessibleInterface* labelled) {
    const auto labels = labelled->relations(QAccessible::Label);
    return labels.isEmpty() ? nullptr : labels.first().first;
}

TEST(ContentView, RowsErrorsAndLabelsCanBeHeard) {
    DiagnosticsSnapshot notReady = snapshotWith(adbPath, {}, {AndroidDevice("U1", "unauthorized")});
    notReady.checks = {CheckItem("scrcpy", CheckState::fail, "Missing."),
                       CheckItem("Android Device", CheckState::warn, "Not authorized.")};
    const QStringList readyRows{"ADB, passed: System adb: /usr/bin/adb", "scrcpy, passed: /usr/bin/scrcpy",
                                "Android Device, passed: 1 authorized device(s).",
                                "Lingguang, passed: Installed on selected device."};
    // One long unbroken word in it: it wraps and does not widen the window.
    const QString failure = "Cannot start /opt/" + QString(300, 'x') + "/scrcpy: No such file or directory";
    for (const char* state : {"ready", "not ready", "error"}) {
        SCOPED_TRACE(state);
        ShownWindow shown;
        Harness& h = shown.harness;
        KelvaneWindow& window = shown.window;
        if (state == std::string("not ready")) h.refreshTo(notReady);
        if (state == std::string("error")) {
            h.launchFailure = failure.toStdString();
            child<QPushButton>(&window, "startMirrorButton")->click();
            ASSERT_TRUE(QTest::qWaitFor([&] { return h.model->lastError().has_value(); }, waitMilliseconds));
            Harness::settle();
        }
        const auto accessible = [&](const char* name) { return QAccessible::queryAccessibleInterface(child<QWidget>(&window, name)); };

        QAccessibleInterface* checks = accessible("checks");
        EXPECT_EQ(checks->role(), QAccessible::List);
        QStringList rows;
        for (int index = 0; index < checks->childCount(); ++index) {
            rows << checks->child(index)->text(QAccessible::Name);
            EXPECT_EQ(checks->child(index)->role(), QAccessible::ListItem);
            EXPECT_EQ(checks->child(index)->childCount(), 2); // title and detail, no dot
        }
        const QStringList notReadyRows{"scrcpy, failed: Missing.", "Android Device, warning: Not authorized."};
        EXPECT_EQ(rows, state == std::string("not ready") ? notReadyRows : readyRows);

        QAccessibleInterface* error = accessible("errorLine");
        EXPECT_EQ(error->role(), QAccessible::AlertMessage);
        EXPECT_EQ(bool(error->state().invisible), state != std::string("error"));
        if (state == std::string("error")) {
            EXPECT_EQ(error->text(QAccessible::Name), failure);
            EXPECT_EQ(accessible("statusBar")->text(QAccessible::Name), failure);
            EXPECT_GE(child<QWidget>(&window, "errorLine")->height(), 3 * window.fontMetrics().height());
            // Too long for one line, the status text takes the whole row before it wraps.
            QWidget* bar = child<QWidget>(&window, "statusBar");
            EXPECT_NEAR(child<QWidget>(&window, "statusText")->geometry().right(), bar->layout()->contentsRect().right(), 1);
        }
        EXPECT_EQ(window.minimumWidth(), minimumWindowWidth);

        EXPECT_EQ(QAccessible::queryAccessibleInterface(&window)->role(), QAccessible::Window);
        EXPECT_EQ(QAccessible::queryAccessibleInterface(&window)->text(QAccessible::Name), "Kelvane");
        ASSERT_NE(labelOf(accessible("devicePicker")), nullptr);
        EXPECT_EQ(labelOf(accessible("devicePicker"))->object(), child<QWidget>(&window, "deviceLabel"));
        EXPECT_EQ(accessible("logText")->text(QAccessible::Name), "Diagnostics Log");
        ASSERT_NE(labelOf(accessible("logText")), nullptr);
        EXPECT_EQ(labelOf(accessible("logText"))->object(), child<QWidget>(&window, "logTitle"));
    }
}

TEST(ContentView, TabReachesEveryEnabledControlInOrderAndSpacePresses) {
    ShownWindow shown;
    Harness& h = shown.harness;
    KelvaneWindow& window = shown.window;
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    const auto tabFromPicker = [&] {
        QStringList reached;
        QWidget* focus = child<QWidget>(&window, "devicePicker");
        focus->setFocus(Qt::TabFocusReason);
        do {
            QTest::keyClick(focus, Qt::Key_Tab);
            focus = QApplication::focusWidget();
            reached << focus->objectName();
        } while (reached.size() < 10 && focus->objectName() != "devicePicker");
        return reached;
    };
    EXPECT_EQ(tabFromPicker(), (QStringList{"wirelessButton", "refreshButton", "startMirrorButton", "lingguangMirrorButton",
                                            "copyInstallButton", "openLogButton", "logText", "devicePicker"}));

    // Space presses; while the mirror starts, the buttons left enabled are reached.
    h.runGate.close();
    auto* mirror = child<QPushButton>(&window, "lingguangMirrorButton");
    mirror->setFocus(Qt::TabFocusReason);
    QTest::keyClick(mirror, Qt::Key_Space);
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.runs().size() == 1; }, waitMilliseconds));
    Harness::settle();
    EXPECT_EQ(QApplication::focusWidget()->objectName(), "devicePicker"); // not on to Copy Install Command
    EXPECT_EQ(tabFromPicker(), (QStringList{"wirelessButton", "copyInstallButton", "openLogButton", "logText", "devicePicker"}));
    // Back on the pressed button once it can be pressed again.
    h.runGate.open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !h.model->isStarting(); }, waitMilliseconds));
    Harness::settle();
    EXPECT_EQ(QApplication::focusWidget(), mirror);
}

// ---- The window ------------------------------------------------------------

TEST(KelvaneWindow, RefusesToShrinkBelowItsMinimumOrItsContent) {
    ShownWindow shown;
    KelvaneWindow& window = shown.window;
    window.resize(300, 200);
    Harness::settle();
    EXPECT_GE(window.width(), minimumWindowWidth);
    EXPECT_GE(window.height(), minimumWindowHeight);
    EXPECT_GE(window.minimumWidth(), 760);
    EXPECT_GE(window.minimumHeight(), 520);
    // With four rows the column needs more than the minimum: nothing is cut.
    EXPECT_GE(window.content()->height(), window.content()->minimumSizeHint().height());

    // Extra height is shared above and below the column.
    window.resize(900, window.height() + 200);
    Harness::settle();
    EXPECT_NEAR(window.content()->y(), window.height() - window.content()->geometry().bottom() - 1, 2);
    EXPECT_EQ(child<QWidget>(&window, "statusBar")->width(), 900 - 2 * 24);
}

TEST(KelvaneWindow, EveryProgrammaticShowingStartsARefresh) {
    Harness h;
    h.setNext(readySnapshot());
    KelvaneWindow window(h.model);
    const QSize opened = window.size();
    window.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.passesStarted() == 1; }, waitMilliseconds));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !h.model->isRefreshing(); }, waitMilliseconds));
    Harness::settle();
    // Opened at the size it has after the first pass: no growing, and
    // drawing everything again, just after appearing.
    EXPECT_EQ(window.findChildren<QWidget*>("checkRow").size(), 4);
    EXPECT_EQ(window.size(), opened);
    EXPECT_EQ(opened.width(), minimumWindowWidth);
    EXPECT_GT(opened.height(), minimumWindowHeight);

    // The window system showing it again (un-minimising) is no new showing.
    // (Delivered directly: sending an event clears its spontaneous mark.)
    QShowEvent spontaneous;
    QSpontaneKeyEvent::setSpontaneous(&spontaneous);
    static_cast<QObject&>(window).event(&spontaneous);
    window.reopen(); // already shown: nothing
    Harness::settle();
    EXPECT_EQ(h.passesStarted(), 1);

    // Closed and opened again: the same state at once, and a new pass.
    h.passGate.close();
    window.close();
    Harness::settle();
    window.reopen();
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.passesStarted() == 2; }, waitMilliseconds));
    Harness::settle();
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.findChildren<QWidget*>("checkRow").size(), 4);

    // A check that ended before the window was first shown (the one the
    // application starts at once) is the one that showing asks for.
    Harness early;
    early.setNext(readySnapshot());
    early.model->refresh();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !early.model->isRefreshing(); }, waitMilliseconds));
    KelvaneWindow second(early.model);
    second.show();
    Harness::settle();
    EXPECT_EQ(early.passesStarted(), 1);
}

TEST(KelvaneWindow, QtUIThreadRunsPostedTasksOnTheEventLoopInOrder) {
    // Made before it joins the event loop, as the application's is: what is
    // handed in meanwhile waits, and keeps its order.
    UIThreadExecutor executor;
    const Executor post = executor.post();
    std::vector<int> order;
    std::vector<bool> onUIThread;
    bool backgroundIsUIThread = true;
    std::thread background([&] {
        backgroundIsUIThread = executor.isUIThread()();
        for (int task = 0; task < 3; ++task) {
            post([&, task] {
                order.push_back(task);
                onUIThread.push_back(QThread::currentThread() == QCoreApplication::instance()->thread());
            });
        }
    });
    background.join();
    QCoreApplication::processEvents();
    EXPECT_TRUE(order.empty());
    executor.attach();
    post([&] { order.push_back(3); });
    EXPECT_TRUE(order.empty()); // not at once: through the event loop
    executor.runArrived();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(onUIThread, (std::vector<bool>{true, true, true}));
    EXPECT_TRUE(executor.isUIThread()());
    EXPECT_FALSE(backgroundIsUIThread);
}

TEST(KelvaneWindow, ToolkitWarmUpEndsWhetherOrNotTheToolkitStarted) {
    { const ToolkitWarmUp neverTold; std::this_thread::sleep_for(std::chrono::milliseconds(50)); } // as without a display
    ToolkitWarmUp warmUp;
    warmUp.toolkitStarted();
    warmUp.finish();
#ifdef KELVANE_SESSION_BUS // made ahead, whether or not there is a bus to reach (the toolkit's own name for it)
    EXPECT_FALSE(QDBusConnection(QStringLiteral("qt_default_session_bus")).name().isEmpty());
#endif
}

// The ready state as a picture, kept with the build for a look by eye.
TEST(KelvaneWindow, ReadyStateScreenshotShowsEveryDotGreen) {
    ShownWindow shown;
    const QPixmap picture = shown.window.grab();
    const QString path = QStringLiteral(KELVANE_ARTEFACT_DIR "/kelvane-ready.png");
    ASSERT_TRUE(picture.save(path)) << path.toStdString(); // docs/screenshot.png comes from here
    const QList<Dot*> dots = shown.window.findChildren<Dot*>();
    ASSERT_EQ(dots.size(), 5); // the status and the four rows
    for (const Dot* dot : dots) {
        const QPoint centre = dot->mapTo(&shown.window, dot->rect().center()) * picture.devicePixelRatio();
        EXPECT_EQ(picture.toImage().pixelColor(centre), readyColor());
    }
    // The icon's built-in pictures, one for each size, none of them empty.
    const QIcon icon = applicationIcon();
    EXPECT_EQ(icon.availableSizes().size(), QStringLiteral(KELVANE_ICON_SIZES).split(QLatin1Char(' ')).size());
    for (const QSize& size : icon.availableSizes()) EXPECT_GT(icon.pixmap(size).toImage().pixelColor(size.width() / 2, size.height() / 2).alpha(), 0);
}

TEST(KelvaneWindow, EveryLongTextIsShownWholeAtTheSmallestWidth) {
    const std::string longest = "adb's port 5037 is held by /opt/android-studio/platform-tools/adb (pid 4242, version 39), "
                                "and this adb is version 41: two adb versions stop each other's servers. End that "
                                "program, or use that same adb for every tool.";
    for (const std::string& detail :
         {longest, "System adb: /home/someone/Android/Sdk/platform-tools/adb/" + std::string(120, 'x'),
          std::string("A USB device for file or photo transfer is attached, but none offers USB debugging. If it is "
                      "your phone, turn on Developer options \u2192 USB debugging.")}) {
        ShownWindow shown;
        DiagnosticsSnapshot snapshot = readySnapshot();
        for (CheckItem& check : snapshot.checks) check = CheckItem(check.title(), CheckState::warn, detail);
        shown.harness.refreshTo(snapshot);
        const QList<QWidget*> rows = shown.window.findChildren<QWidget*>("checkRow");
        ASSERT_EQ(rows.size(), 4);
        for (qsizetype i = 0; i < rows.size(); ++i) {
            const auto* label = child<QLabel>(rows[i], "checkDetail");
            // Measured by a label of its own: the row's has shown a shorter text before.
            QLabel measure(label->text());
            measure.setFont(label->font());
            measure.setWordWrap(true);
            measure.setTextInteractionFlags(label->textInteractionFlags());
            EXPECT_GE(label->height(), measure.heightForWidth(label->width())) << detail;
            if (i + 1 < rows.size()) EXPECT_LT(rows[i]->geometry().bottom(), rows[i + 1]->geometry().top()) << detail;
        }
    }
}

TEST(ContentView, SecondaryTextAndTheScrollHandleStayReadableInLightAndDark) {
    QPalette dark;
    for (const auto& [role, colour] : {std::pair{QPalette::Window, "#202020"}, {QPalette::WindowText, "#f0f0f0"},
                                       {QPalette::Base, "#2b2b2b"}, {QPalette::Text, "#f0f0f0"}}) {
        dark.setColor(role, QColor(QString::fromLatin1(colour)));
    }
    const QPalette light = QApplication::palette();
    for (const QPalette& palette : {light, dark}) {
        ShownWindow shown;
        shown.window.setPalette(palette);
        Harness::settle();
        const QPalette& colours = shown.window.content()->palette();
        const auto contrast = [&](const char* name, QPalette::ColorRole background) {
            QWidget* widget = shown.window.findChildren<QWidget*>(QString::fromLatin1(name)).value(0);
            return contrastRatio(widget->palette().color(widget->foregroundRole()), colours.color(background));
        };
        EXPECT_GE(contrast("description", QPalette::Window), 4.5);
        EXPECT_GE(contrast("checkDetail", QPalette::Window), 4.5);
        EXPECT_GE(contrast("statusText", QPalette::Base), 4.5);
        EXPECT_LT(contrast("checkDetail", QPalette::Window), contrast("checkTitle", QPalette::Window)) << "still dimmed";
        // The scroll bar's knob: its strongest colour down the bar's middle.
        QScrollBar* bar = child<QPlainTextEdit>(&shown.window, "logText")->verticalScrollBar();
        const QImage drawn = bar->grab().toImage();
        double knob = 1;
        for (int y = 0; y < drawn.height(); ++y)
            knob = std::max(knob, contrastRatio(drawn.pixelColor(drawn.width() / 3, y), colours.color(QPalette::Base)));
        EXPECT_GE(knob, 3.0);
    }
}

// The Wi-Fi dialog by keyboard alone: every field named, the switch offered
// for the chosen USB phone, pairing only where adb has it, and a request's
// outcome told.
TEST(ContentView, WiFiDialogWorksByKeyboardAndNamesEveryField) {
    ShownWindow shown;
    child<QPushButton>(&shown.window, "wirelessButton")->setFocus(Qt::TabFocusReason);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    auto* dialog = shown.window.findChild<WirelessDialog*>();
    ASSERT_TRUE(dialog && dialog->isVisible());
    auto* switchButton = child<QPushButton>(dialog, "switchButton");
    EXPECT_TRUE(switchButton->isEnabled());
    EXPECT_EQ(switchButton->accessibleName(), QStringLiteral("Switch %1 to Wi-Fi").arg(serial));
    for (QLineEdit* field : dialog->findChildren<QLineEdit*>()) EXPECT_FALSE(field->accessibleName().isEmpty());
    // This adb's version names no release: no pairing.
    EXPECT_TRUE(QTest::qWaitFor([&] { return child<QLabel>(dialog, "pairingNote")->text().startsWith("Pairing needs"); },
                                waitMilliseconds));
    EXPECT_FALSE(child<QLineEdit>(dialog, "pairingCodeField")->isEnabled());

    auto* address = child<QLineEdit>(dialog, "addressField");
    address->setFocus(Qt::TabFocusReason);
    QTest::keyClicks(address, "127.0.0.1:40000");
    QTest::keyClick(address, Qt::Key_Return); // Connect is the default button
    auto* result = child<QLabel>(dialog, "wirelessResult");
    ASSERT_TRUE(QTest::qWaitFor([&] { return result->text().startsWith("adb could not reach"); }, waitMilliseconds));
    EXPECT_EQ(shown.harness.runs().back(), (Strings{adbPath, "connect", "127.0.0.1:40000"}));
    EXPECT_EQ(result->accessibleName(), result->text());
}

} // namespace
} // namespace kelvane
