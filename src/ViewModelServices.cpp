// The model's services as Kelvane uses them: the real runner, log,
// launcher, follower and desktop, unless a caller (the window, a test)
// hands in its own.
#include "DiagnosticsViewModel.h"

#include <cstdio>
#include <sys/stat.h>
#include <thread>

namespace kelvane {
namespace {

void writeToStandardError(const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);
}

void runInline(Task task) { task(); }

void runOnNewThread(Task task) {
    try {
        std::thread(task).detach();
    } catch (const std::exception&) {
        // No thread to be had (std::system_error), or no memory for one
        // (std::bad_alloc): finish the work here rather than never.
        task();
    }
}

bool somethingExistsAt(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

} // namespace

ViewModelServices ViewModelServices::withDefaults(ViewModelServices services) {
    Places places = Places::standard();
    // Every default that writes the activity log writes the same one, the
    // caller's own if given: the model's entries, the passes' entries, the
    // mirror's output and the file that openLog shows are then one.
    if (services.logPath.empty()) {
        services.logPath = places.logPath;
        services.privateLogPath = places.privateLogPath;
        services.privateLogBase = places.privateLogBase;
    }
    places.logPath = services.logPath;
    places.privateLogPath = services.privateLogPath;
    places.privateLogBase = services.privateLogBase;

    if (!services.onUIThread) services.onUIThread = runInline;
    if (!services.isUIThread) services.isUIThread = [] { return true; };
    if (!services.inBackground) services.inBackground = runOnNewThread;
    if (!services.buildSnapshot) {
        services.buildSnapshot = [places](const DiagnosticsService::PassOptions& options) {
            return DiagnosticsService::runPass(places, options);
        };
    }
    if (!services.run) {
        services.run = [](const std::string& executable, const std::vector<std::string>& arguments, double timeout) {
            return CommandRunner::run(executable, arguments, timeout);
        };
    }
    if (!services.appendLog) {
        services.appendLog = [places](const std::string& message) { CommandRunner::appendLog(message, places); };
    }
    if (!services.launchDetached) {
        services.launchDetached = [places](const std::string& executable, const std::vector<std::string>& arguments,
                                           CommandRunner::DetachedEnd ended) {
            DiagnosticsService::launchWithADB(executable, arguments, places, std::move(ended));
        };
    }
    if (!services.fileExists) services.fileExists = somethingExistsAt;
    if (!services.logFileProblem) services.logFileProblem = CommandRunner::logFileProblem;
    if (!services.reportProblem) services.reportProblem = writeToStandardError;
    if (!services.openFile) services.openFile = [](const std::string&) { return false; };
    if (!services.trackDevices) {
        services.trackDevices = [address = places.adbServer](const std::string& adb, DeviceFollower::Listener listener) {
            return std::make_shared<DeviceFollower>(adb, address, std::move(listener));
        };
    }
    return services;
}

} // namespace kelvane
