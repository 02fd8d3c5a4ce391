// The model's state and operations: refreshes, mirror starts and their
// ends, following the phone, the log opener.
#include "DiagnosticsViewModel.h"

#include "DiagnosticsService.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace kelvane {

namespace {

// What the model shows and logs.
constexpr std::string_view refreshingMessage = "Refreshing diagnostics...";
constexpr std::string_view startingMirrorMessage = "Starting mirror...";
constexpr std::string_view openingLingguangMessage = "Opening Lingguang and starting mirror...";
constexpr std::string_view adbMissingMessage = "ADB is missing.";
constexpr std::string_view scrcpyMissingMessage = "scrcpy is missing.";
constexpr std::string_view noDeviceMessage = "No authorized Android device selected.";
constexpr std::string_view lingguangMissingMessage = "Lingguang is not installed. Starting normal mirror.";
constexpr std::string_view lingguangNotOpenedSuffix = " Lingguang is not installed on it, so it was not opened.";
constexpr std::string_view logCreatedEntry = "Log created.";

std::string lingguangMissingEntry(const std::string& serial) {
    return "Lingguang not installed on " + serial + ". Falling back to normal mirror.";
}
std::string lingguangResultEntry(const CommandResult& result) {
    return "Lingguang launch result: status=" + std::to_string(result.status) + " output=" + result.output;
}
std::string launchingEntry(const std::string& serial) { return "Launching scrcpy for device " + serial; }
std::string launchFailedEntry(const std::string& description) { return "Failed to launch scrcpy: " + description; }
std::string mirrorStartedMessage(const std::string& serial) { return "Mirror started for " + serial + "."; }
std::string notOpeningLogMessage(const std::string& path, const std::string& problem) {
    return "Not opening the activity log " + path + ": " + problem;
}
std::string failedPassMessage(const std::string& problem) { return "The diagnostics pass failed: " + problem; }
std::string waitingMessage(const std::string& command, int secondsLeft) {
    return std::string(refreshingMessage) + " (waiting for " + command + ", up to " + std::to_string(std::max(secondsLeft, 0)) +
           " s more)";
}
std::string notFollowingMessage(const std::string& problem) {
    return "Not following the phone (changes show after Refresh): " + problem;
}

// The description of the exception being handled; call inside a handler.
std::string currentExceptionText() {
    try {
        throw;
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "unknown error";
    }
}

// What a refresh publishes when its pass broke off before it could tell
// anything: nothing found.
DiagnosticsSnapshot nothingFound() {
    DiagnosticsSnapshot snapshot = DiagnosticsSnapshot::initial();
    try {
        snapshot.checks = DiagnosticsService::makeChecks(snapshot);
    } catch (...) {
        // Without rows, the window still shows the summary.
    }
    return snapshot;
}

} // namespace

// ---- Subscription ---------------------------------------------------------

DiagnosticsViewModel::Subscription::Subscription(std::weak_ptr<DiagnosticsViewModel> model, std::size_t key)
    : model_(std::move(model)), key_(key) {}

DiagnosticsViewModel::Subscription::Subscription(Subscription&& other) noexcept
    : model_(std::move(other.model_)), key_(std::exchange(other.key_, 0)) {}

DiagnosticsViewModel::Subscription& DiagnosticsViewModel::Subscription::operator=(Subscription&& other) noexcept {
    if (this != &other) {
        cancel();
        model_ = std::move(other.model_);
        key_ = std::exchange(other.key_, 0);
    }
    return *this;
}

DiagnosticsViewModel::Subscription::~Subscription() { cancel(); }

void DiagnosticsViewModel::Subscription::cancel() {
    if (auto model = model_.lock(); model && key_ != 0) model->unsubscribe(key_);
    key_ = 0;
    model_.reset();
}

// ---- The model ------------------------------------------------------------

std::shared_ptr<DiagnosticsViewModel> DiagnosticsViewModel::create(ViewModelServices services) {
    return std::shared_ptr<DiagnosticsViewModel>(
        new DiagnosticsViewModel(ViewModelServices::withDefaults(std::move(services))));
}

DiagnosticsViewModel::DiagnosticsViewModel(ViewModelServices services) : services_(std::move(services)) {}

DiagnosticsViewModel::Subscription DiagnosticsViewModel::subscribe(Observer observer) {
    const std::size_t key = nextObserverKey_++;
    observers_.emplace(key, std::move(observer));
    return Subscription(weak_from_this(), key);
}

void DiagnosticsViewModel::unsubscribe(std::size_t key) { observers_.erase(key); }

template <typename T>
void DiagnosticsViewModel::assign(Property property, T& field, T value) {
    // Observers may subscribe or unsubscribe while being told: work from a
    // copy, skip whoever has left meanwhile, and tell newcomers next time.
    const auto observers = observers_;
    for (const auto& [key, observer] : observers) {
        if (observers_.count(key) != 0) observer(property);
    }
    field = std::move(value);
}

void DiagnosticsViewModel::setSelectedDeviceID(std::optional<std::string> id) {
    assign(Property::selectedDeviceID, selectedDeviceID_, std::move(id));
    // The checklist speaks of the phone in the picker.
    DiagnosticsSnapshot judged = DiagnosticsService::judgedFor(snapshot_, selectedDeviceID_);
    if (judged.lingguangInstalled != snapshot_.lingguangInstalled) {
        assign(Property::snapshot, snapshot_, std::move(judged));
    }
}

void DiagnosticsViewModel::refresh(Completion done) { beginRefresh(std::move(done), false); }

void DiagnosticsViewModel::onUIThread(Task task) {
    if (services_.isUIThread()) {
        task();
    } else {
        services_.onUIThread(std::move(task));
    }
}

void DiagnosticsViewModel::beginRefresh(Completion done, bool keepChoice) {
    auto self = shared_from_this();
    onUIThread([self, keepChoice, done = beginOperation(std::move(done))] {
        self->assign(Property::isRefreshing, self->isRefreshing_, true);
        self->assign(Property::statusMessage, self->statusMessage_, std::optional<std::string>(refreshingMessage));

        self->services_.inBackground([self, keepChoice, done] {
            // A pass that follows the phone is adb's server's guest; one the
            // user asked for may start it.
            DiagnosticsService::PassOptions options;
            options.startServer = !keepChoice;
            // A command that keeps the pass waiting is named in the status.
            options.waiting = [model = std::weak_ptr(self), onUIThread = self->services_.onUIThread](
                                  const std::string& command, int secondsLeft) {
                onUIThread([model, text = waitingMessage(command, secondsLeft)] {
                    const auto waited = model.lock();
                    if (waited && waited->isRefreshing_) {
                        waited->assign(Property::statusMessage, waited->statusMessage_, std::optional<std::string>(text));
                    }
                });
            };
            // A pass that breaks off (out of memory, no thread to be had)
            // still ends the refresh, as one that found nothing.
            std::optional<DiagnosticsSnapshot> built;
            try {
                built = self->services_.buildSnapshot(options);
            } catch (...) {
                self->services_.reportProblem(failedPassMessage(currentExceptionText()));
                built = nothingFound();
            }

            self->services_.onUIThread([self, keepChoice, done, built = std::move(built)]() mutable {
                if (!built) {
                    // Abandoned: no server of this adb's to ask. What the
                    // window shows stands, and the next list adb's server
                    // sends refreshes it.
                    self->followUp_.forget();
                    self->assign(Property::statusMessage, self->statusMessage_,
                                 std::optional<std::string>(self->snapshot_.summary()));
                    self->assign(Property::isRefreshing, self->isRefreshing_, false);
                    done();
                    return;
                }
                // Following the phone keeps the user's pick while it is
                // authorized; Refresh takes the pass's choice.
                std::optional<std::string> choice = built->selectedDeviceID;
                const std::optional<std::string>& pick = self->selectedDeviceID_;
                const auto picked = [&](const AndroidDevice& device) { return pick && device.id() == *pick; };
                const std::vector<AndroidDevice> authorized = built->authorizedDevices();
                if (keepChoice && std::any_of(authorized.begin(), authorized.end(), picked)) {
                    choice = pick;
                    built = DiagnosticsService::judgedFor(std::move(*built), choice);
                }
                std::optional<std::string> summary = built->summary();
                self->assign(Property::snapshot, self->snapshot_, std::move(*built));
                self->assign(Property::selectedDeviceID, self->selectedDeviceID_, std::move(choice));
                self->assign(Property::statusMessage, self->statusMessage_, std::move(summary));
                self->assign(Property::isRefreshing, self->isRefreshing_, false);
                // A pass that found the latest tracked list leaves nothing to
                // follow up.
                self->followUp_.passFound(self->snapshot_.devices);
                self->updateTracking();
                // A pass the user asked for may have started adb's server.
                if (!keepChoice && self->tracker_) self->tracker_->recheck();
                done();
            });
        });
    });
}

// ---- Following the phone -----------------------------------------------------

void DiagnosticsViewModel::followDevices(bool on) {
    following_ = on;
    updateTracking();
}

void DiagnosticsViewModel::updateTracking() {
    const std::optional<std::string>& adb = snapshot_.adbPath;
    if (tracker_ && following_ && adb && *adb == trackedADB_) return;
    // Ending a follower waits for nothing.
    tracker_.reset();
    followUp_.forget();
    ++trackerGeneration_;
    if (!following_ || !adb) return;

    trackedADB_ = *adb;
    followUp_ = ListFollowUp(snapshot_.devices);
    // Told on the follower's thread; only the UI thread touches the model,
    // and the follower's thread never holds it.
    const auto toModel = [model = weak_from_this(), onUIThread = services_.onUIThread,
                          generation = trackerGeneration_](auto tell) {
        onUIThread([model, generation, tell = std::move(tell)]() mutable {
            const auto self = model.lock();
            if (self && generation == self->trackerGeneration_) tell(*self);
        });
    };
    DeviceFollower::Listener listener;
    listener.devices = [toModel](std::vector<AndroidDevice> list) {
        toModel([list = std::move(list)](DiagnosticsViewModel& self) mutable { self.deviceListTracked(std::move(list)); });
    };
    listener.otherServer = [toModel](const DeviceFollower::OtherServer& other) {
        toModel([other](DiagnosticsViewModel& self) { self.otherServerFound(other); });
    };
    try {
        tracker_ = services_.trackDevices(*adb, std::move(listener));
    } catch (...) {
        // No thread or pipe to be had: the window works on without
        // following, and the next pass tries again.
        services_.reportProblem(notFollowingMessage(currentExceptionText()));
    }
}

void DiagnosticsViewModel::deviceListTracked(std::vector<AndroidDevice> list) {
    followUp_.told(std::move(list));
    refreshForTrackedChange();
}

void DiagnosticsViewModel::otherServerFound(const DeviceFollower::OtherServer& other) {
    // Shown as a pass that met it would show it; once this adb's own server
    // answers again, its first list brings a new pass.
    followUp_.forget();
    assign(Property::snapshot, snapshot_,
           DiagnosticsService::withOtherServer(snapshot_, other.version, other.ownVersion, other.holder));
}

void DiagnosticsViewModel::refreshForTrackedChange() {
    // A change waits for whatever is under way, and then starts one refresh
    // for the latest list, however many came meanwhile.
    if (!tracker_ || operationsUnderWay_ > 0 || !followUp_.takeChange()) return;
    beginRefresh({}, true);
}

void DiagnosticsViewModel::startMirror(bool openLingguang, Completion done) {
    auto self = shared_from_this();
    onUIThread([self, openLingguang, done = beginOperation(std::move(done))] {
        self->assign(Property::lastError, self->lastError_, std::optional<std::string>());
        self->assign(Property::statusMessage, self->statusMessage_,
                     std::optional<std::string>(openLingguang ? openingLingguangMessage : startingMirrorMessage));
        self->assign(Property::isStarting, self->isStarting_, true);

        // Everything the start works with is taken now, in one go: a refresh
        // that lands while Lingguang is being opened changes none of it.
        const std::optional<std::string> adbPath = self->snapshot_.adbPath;
        const std::optional<std::string> scrcpyPath = self->snapshot_.scrcpyPath;
        const std::optional<std::string> serial =
            self->selectedDeviceID_ ? self->selectedDeviceID_ : self->snapshot_.selectedDeviceID;
        const bool lingguangInstalled = serial && self->snapshot_.hasLingguang(*serial);

        const auto refuse = [&](std::string_view message) {
            self->assign(Property::lastError, self->lastError_, std::optional<std::string>(message));
            self->assign(Property::statusMessage, self->statusMessage_, std::optional<std::string>(message));
            self->assign(Property::isStarting, self->isStarting_, false);
            done();
        };
        if (!adbPath) return refuse(adbMissingMessage);
        if (!scrcpyPath) return refuse(scrcpyMissingMessage);
        if (!serial) return refuse(noDeviceMessage);

        if (openLingguang && lingguangInstalled) {
            auto arguments = DiagnosticsService::lingguangLaunchArguments(*serial);
            self->services_.inBackground([self, done, adb = *adbPath, arguments = std::move(arguments),
                                          scrcpy = *scrcpyPath, serial = *serial] {
                // A run that breaks off counts as a command that could not
                // start; the mirror is launched all the same.
                CommandResult result;
                try {
                    result = self->services_.run(adb, arguments, DiagnosticsService::lingguangLaunchTimeout);
                } catch (...) {
                    result = {CommandRunner::launchFailureStatus, currentExceptionText()};
                }

                self->services_.onUIThread([self, done, result = std::move(result), scrcpy, serial] {
                    self->services_.appendLog(lingguangResultEntry(result));
                    self->finishMirror(scrcpy, serial);
                    done();
                });
            });
            return;
        }
        if (openLingguang) {
            self->assign(Property::statusMessage, self->statusMessage_,
                         std::optional<std::string>(lingguangMissingMessage));
            self->services_.appendLog(lingguangMissingEntry(*serial));
        }
        self->finishMirror(*scrcpyPath, *serial, openLingguang);
        done();
    });
}

DiagnosticsViewModel::Completion DiagnosticsViewModel::beginOperation(Completion done) {
    ++operationsUnderWay_;
    return [self = shared_from_this(), done = std::move(done)] {
        if (done) done();
        if (--self->operationsUnderWay_ > 0) return;
        for (Completion& then : std::exchange(self->idleWaiters_, {})) then();
        self->refreshForTrackedChange();
    };
}

void DiagnosticsViewModel::whenIdle(Completion then) {
    if (operationsUnderWay_ == 0) return then();
    idleWaiters_.push_back(std::move(then));
}

void DiagnosticsViewModel::finishMirror(const std::string& scrcpyPath, const std::string& serial,
                                        bool lingguangMissing) {
    services_.appendLog(launchingEntry(serial));

    // Told on the launcher's thread when scrcpy ends, maybe after this model
    // is gone; what scrcpy wrote is read there, and the end reported on the
    // UI thread.
    CommandRunner::DetachedEnd ended = [model = weak_from_this(), serial](const CommandResult& end,
                                                                         const CommandRunner::ProgramOutput& output) {
        const auto self = model.lock();
        if (!self) return;
        DiagnosticsService::MirrorOutputScan scan;
        output.read([&](std::string_view chunk) { scan.feed(chunk); }, DiagnosticsService::maxMirrorOutputRead);
        DiagnosticsService::MirrorEndReport report =
            DiagnosticsService::mirrorEndReport(serial, end, output.known() ? &scan : nullptr);
        self->services_.onUIThread([self, report = std::move(report)] { self->reportMirrorEnd(report); });
    };
    std::optional<std::string> failure;
    try {
        services_.launchDetached(scrcpyPath, DiagnosticsService::scrcpyArguments(serial), std::move(ended));
    } catch (const std::exception& error) {
        failure = error.what();
    }

    if (failure) {
        assign(Property::lastError, lastError_, failure);
        assign(Property::statusMessage, statusMessage_, failure);
        services_.appendLog(launchFailedEntry(*failure));
    } else {
        assign(Property::statusMessage, statusMessage_,
               std::optional<std::string>(mirrorStartedMessage(serial) +
                                          (lingguangMissing ? std::string(lingguangNotOpenedSuffix) : "")));
    }
    assign(Property::isStarting, isStarting_, false);
}

void DiagnosticsViewModel::reportMirrorEnd(const DiagnosticsService::MirrorEndReport& report) {
    if (report.error) assign(Property::lastError, lastError_, report.error);
    if (report.status) assign(Property::statusMessage, statusMessage_, report.status);
    services_.appendLog(report.logEntry);
}

Places DiagnosticsViewModel::logPlaces() const {
    Places places;
    places.logPath = services_.logPath;
    places.privateLogPath = services_.privateLogPath;
    places.privateLogBase = services_.privateLogBase;
    return places;
}

void DiagnosticsViewModel::openLog() {
    // No log in use: the shared one is refused, and there is no private
    // one; why the shared one is refused says enough.
    const Places places = logPlaces();
    std::string path = CommandRunner::logInUse(places);
    if (path.empty()) path = places.logPath;
    if (!services_.fileExists(path)) services_.appendLog(std::string(logCreatedEntry));
    if (const std::optional<std::string> problem = services_.logFileProblem(path)) {
        services_.reportProblem(notOpeningLogMessage(path, *problem));
        return;
    }
    services_.openFile(path);
}

} // namespace kelvane
