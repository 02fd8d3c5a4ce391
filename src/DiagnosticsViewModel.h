// The window's state, and its three operations: refresh, mirror start and
// log opener. (The process-wide state of the runner and the shell, such as
// refused logs and unwatched children, lives with them.)
#pragma once

#include "CommandRunner.h"
#include "DeviceFollower.h"
#include "DiagnosticsService.h"
#include "ListFollowUp.h"
#include "Models.h"
#include "Wireless.h"

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelvane {

using Task = std::function<void()>;
// Runs a task somewhere: on the UI thread, or in the background.
using Executor = std::function<void(Task)>;

// The model's six observable properties.
enum class Property { snapshot, isRefreshing, isStarting, selectedDeviceID, lastError, statusMessage };

// Everything the model reaches outside itself. Default-constructed members
// are the real ones; tests replace what they need.
struct ViewModelServices {
    // Runs a task on the UI thread. Default: at once, on the caller's thread
    // (right for a program without an event loop; the window supplies its own).
    Executor onUIThread;
    // Whether the calling thread is the UI thread. Default: always (as for
    // the default onUIThread).
    std::function<bool()> isUIThread;
    // Runs a blocking task, off the UI thread where it can. Default: on a new
    // detached thread, or, when no thread can be had, at once on the
    // caller's thread (late rather than never, even on the UI thread).
    Executor inBackground;
    // One diagnostics pass (blocking); nothing when it was abandoned.
    // Default: DiagnosticsService::runPass.
    std::function<std::optional<DiagnosticsSnapshot>(const DiagnosticsService::PassOptions&)> buildSnapshot;
    // CommandRunner::run (blocking).
    std::function<CommandResult(const std::string&, const std::vector<std::string>&, double)> run;
    // CommandRunner::appendLog.
    std::function<void(const std::string&)> appendLog;
    // CommandRunner::launchDetached; throws LaunchError. Tells the third
    // argument, from any thread, how the program ended.
    std::function<void(const std::string&, const std::vector<std::string>&, CommandRunner::DetachedEnd)>
        launchDetached;
    // Whether something exists at a path.
    std::function<bool(const std::string&)> fileExists;
    // Why the thing at a path may not be handed to the desktop as the
    // activity log, or nothing when it is a regular file of one link.
    // Default: CommandRunner::logFileProblem, the log writers' own rule.
    std::function<std::optional<std::string>(const std::string&)> logFileProblem;
    // Tells of a failure that has no other place to go; called from any
    // thread. Default: a line on standard error.
    std::function<void(const std::string&)> reportProblem;
    // Follows adb's device list for the adb at the first argument, telling
    // the listener (from any thread), until the returned handle is
    // destroyed; may throw. Default: a DeviceFollower of adb's server.
    std::function<std::shared_ptr<Following>(const std::string&, DeviceFollower::Listener)> trackDevices;
    // Asks the desktop to open a file; answers whether it could. Default:
    // no desktop, answers false.
    std::function<bool(const std::string&)> openFile;
    // The shared activity log, and the user's private one that takes its
    // place when it cannot be used (empty: none), below the user's own
    // directory privateLogBase. Default: the standard ones; a caller's own
    // logPath comes without a private log unless given.
    std::string logPath;
    std::string privateLogPath;
    std::string privateLogBase;

    // The real services, with the missing members of `overrides` filled in.
    static ViewModelServices withDefaults(ViewModelServices overrides = {});
};

class DiagnosticsViewModel : public std::enable_shared_from_this<DiagnosticsViewModel> {
public:
    using Observer = std::function<void(Property)>;
    using Completion = std::function<void()>;

    // Ends a subscription when destroyed.
    class Subscription {
    public:
        Subscription() = default;
        Subscription(Subscription&&) noexcept;
        Subscription& operator=(Subscription&&) noexcept;
        Subscription(const Subscription&) = delete;
        Subscription& operator=(const Subscription&) = delete;
        ~Subscription();
        void cancel();

    private:
        friend class DiagnosticsViewModel;
        Subscription(std::weak_ptr<DiagnosticsViewModel> model, std::size_t key);
        std::weak_ptr<DiagnosticsViewModel> model_;
        std::size_t key_ = 0;
    };

    // The model lives in a shared pointer: running operations keep it alive.
    static std::shared_ptr<DiagnosticsViewModel> create(ViewModelServices services = {});

    // ---- Observable properties (read on the UI thread) ----
    DiagnosticsSnapshot snapshot() const { return snapshot_; }
    bool isRefreshing() const { return isRefreshing_; }
    bool isStarting() const { return isStarting_; }
    const std::optional<std::string>& selectedDeviceID() const { return selectedDeviceID_; }
    const std::optional<std::string>& lastError() const { return lastError_; }
    const std::optional<std::string>& statusMessage() const { return statusMessage_; }

    // The device picker's write-back. When the Lingguang finding for the
    // chosen phone differs from the snapshot's, the snapshot is judged anew
    // for it (its lingguangInstalled and checklist), so that the checklist
    // always speaks of the phone in the picker.
    void setSelectedDeviceID(std::optional<std::string> id);

    // Called once per assignment of any observable property, before the new
    // value is stored, whether or not it differs.
    [[nodiscard]] Subscription subscribe(Observer observer);

    // ---- Operations (they return at once) ----
    // Called on the UI thread, refresh and startMirror make their first
    // assignments (isRefreshing, isStarting) before they return; called
    // elsewhere, they move to the UI thread first. A refresh goes on there
    // after its pass, a mirror start with Lingguang after its command; one
    // without launches at once.
    //
    // A diagnostics pass, published when it ends. `done` runs on the UI
    // thread after the last assignment.
    void refresh(Completion done = {});
    // Starts scrcpy for the chosen device, bringing Lingguang to the front
    // first when asked and installed. A mirror that later ends in failure is
    // reported through lastError and statusMessage, and logged; watching for
    // that is no operation under way.
    void startMirror(bool openLingguang, Completion done = {});
    // Creates the activity log if needed and hands it to the desktop, but
    // only a regular file of one link: never what a link points to, a FIFO,
    // a directory or another name of some other file. A refusal goes to
    // reportProblem.
    void openLog();
    // Carries out a Wi-Fi request with the snapshot's adb, each command under
    // the diagnostics' time limit, and logs it. `done` is told the outcome on
    // the UI thread, after a success's refresh: the connected phone is then
    // the chosen one where adb lists it as authorized. The status line
    // tells the outcome.
    void connectWireless(Wireless::Request request, std::function<void(const Wireless::Outcome&)> done = {});
    // Whether the snapshot's adb has `adb pair`, told on the UI thread.
    void checkPairing(std::function<void(bool)> told);

    // ---- Following the phone (not observable) ----
    // While on, and while the snapshot knows an adb, adb's device list is
    // followed as a guest of adb's server: a change (a phone attached or
    // removed, or its state changed) starts a refresh, as Refresh does,
    // except that it keeps the user's pick when that phone is still
    // authorized and never starts or replaces adb's server: it is abandoned
    // when no server of this adb's version answers. At most one such refresh
    // runs and at most one more waits; none begins while another operation
    // is under way, and a list that has not changed starts none. A server of
    // another version holding adb's port is shown in the checklist's ADB
    // row. Off stops following without waiting for anything. Needs an
    // onUIThread that queues.
    void followDevices(bool on);
    bool isFollowingDevices() const { return tracker_ != nullptr; }

    // ---- Operations under way (not observable) ----
    // Refreshes and mirror starts that have been called and not yet ended.
    std::size_t operationsUnderWay() const { return operationsUnderWay_; }
    // Runs `then` once no operation is under way: at once when none is,
    // otherwise on the UI thread right after the last one ends.
    void whenIdle(Completion then);

private:
    explicit DiagnosticsViewModel(ViewModelServices services);

    template <typename T>
    void assign(Property property, T& field, T value);
    // Runs `task` at once on the UI thread, or moves it there.
    void onUIThread(Task task);
    // A refresh; `keepChoice`: one that follows the device list.
    void beginRefresh(Completion done, bool keepChoice);
    // Starts, replaces or ends the tracker as following and the snapshot's
    // adb ask.
    void updateTracking();
    void deviceListTracked(std::vector<AndroidDevice> list);
    void otherServerFound(const DeviceFollower::OtherServer& other);
    // Starts a refresh when the tracked list has changed and nothing is
    // under way.
    void refreshForTrackedChange();
    // Counts an operation as under way until the returned completion, which
    // runs `done` first, has run.
    Completion beginOperation(Completion done);
    // `lingguangMissing`: Lingguang was asked for but is not there, and the
    // started message says so.
    void finishMirror(const std::string& scrcpyPath, const std::string& serial, bool lingguangMissing = false);
    void reportMirrorEnd(const DiagnosticsService::MirrorEndReport& report);
    // The places of the activity logs that the services write.
    Places logPlaces() const;
    void unsubscribe(std::size_t key);

    ViewModelServices services_;

    DiagnosticsSnapshot snapshot_ = DiagnosticsSnapshot::initial();
    bool isRefreshing_ = false;
    bool isStarting_ = false;
    std::optional<std::string> selectedDeviceID_;
    std::optional<std::string> lastError_;
    std::optional<std::string> statusMessage_;

    std::map<std::size_t, Observer> observers_;
    std::size_t nextObserverKey_ = 1;

    std::size_t operationsUnderWay_ = 0;
    std::vector<Completion> idleWaiters_;

    bool following_ = false;
    std::shared_ptr<Following> tracker_;
    std::string trackedADB_;
    // Tells lists of an earlier tracker from the present one's.
    std::size_t trackerGeneration_ = 0;
    // Which list adb sent needs a refresh.
    ListFollowUp followUp_;
};

} // namespace kelvane
