// The diagnostics pass: the tools found, adb's commands run one after
// another, what they printed read and judged into one snapshot.
#include "DiagnosticsService.h"

#include <algorithm>
#include <cmath>

namespace kelvane {
namespace {

// The activity-log entry of a pass starts with this.
constexpr std::string_view refreshedLogPrefix = "Diagnostics refreshed. ";

// The package query is shown without "-s <serial>" when it is the only one.
using DiagnosticsService::transcriptHeading;
using DiagnosticsService::transcriptEntry;

std::string startServerHeading() { return transcriptHeading("start-server"); }
std::string devicesHeading() { return transcriptHeading("devices"); }
// With a serial: the command as run, for a pass that asks several phones.
std::string packageQueryHeading(const std::string& serial) {
    return transcriptHeading((serial.empty() ? "" : "-s " + serial + " ") + "shell pm list packages " +
                             std::string(DiagnosticsService::lingguangPackage));
}

} // namespace

namespace DiagnosticsService {

DiagnosticsSnapshot buildSnapshot(const Places& places) { return *runPass(places, {}); }

namespace {

// Whether a server of the adb at `adb`'s own version answers at `address`,
// so that adb's commands go to it and none is started or replaced.
bool ownServerAnswers(const std::string& adb, const ADBServerAddress& address, const CommandRunner::StopSignal* stop) {
    const std::optional<int> own =
        adbProtocolVersion(CommandRunner::run(adb, versionArguments(), diagnosticsCommandTimeout, stop).output);
    const ADBServer::Answer answer = ADBServer::askVersion(address, stop);
    return answer.kind == ADBServer::Answer::Kind::version && (!own || answer.version == *own);
}

} // namespace

std::optional<DiagnosticsSnapshot> runPass(const Places& places, const PassOptions& options) {
    const auto stopped = [&] { return options.stop && options.stop->requested(); };
    DiagnosticsSnapshot snapshot;
    snapshot.adbPath = findADBPath(places);
    snapshot.adbSource = adbSourceLabel(snapshot.adbPath, places);
    snapshot.scrcpyPath = firstExecutable(places.scrcpyCandidates);

    std::vector<std::string> transcript;
    if (snapshot.adbPath) {
        const std::string& adb = *snapshot.adbPath;
        if (!options.startServer && !ownServerAnswers(adb, places.adbServer, options.stop)) return std::nullopt;
        ADBTrouble& trouble = snapshot.adbTrouble;
        // What a command's output and its end tell of adb itself. A command
        // that shows trouble is shown in the transcript.
        const auto run = [&](const std::vector<std::string>& arguments, std::string heading, bool shownAnyway) {
            // "$ adb devices\n" names the command "adb devices".
            const std::string command = heading.substr(2, heading.size() - 3);
            const auto waiting = [&](double seconds) {
                if (options.waiting && seconds >= waitToldAfter) {
                    options.waiting(command, int(std::ceil(diagnosticsCommandTimeout - seconds)));
                }
            };
            CommandResult result = CommandRunner::run(adb, arguments, diagnosticsCommandTimeout, options.stop, waiting);
            const ADBTrouble before = trouble;
            noteADBTrouble(trouble, result);
            if (shownAnyway || trouble != before) transcript.push_back(transcriptEntry(heading, result));
            return result;
        };

        // A server that does not answer its start would not answer the
        // listing either: the pass does not wait for it twice.
        if (options.startServer) run(startServerArguments(), startServerHeading(), false);
        if (!trouble.noAnswer && !stopped()) {
            const CommandResult listed = run(devicesArguments(), devicesHeading(), true);
            snapshot.devices = parseDevices(listed.output);
        }

        // Every authorized phone is asked (each once, up to maxAskedDevices),
        // so that the checklist and a mirror start can speak of whichever the
        // user chooses. Their commands are told apart by their serials where
        // there are several.
        std::vector<std::string> serials;
        for (const AndroidDevice& device : snapshot.authorizedDevices()) {
            if (serials.size() == static_cast<std::size_t>(maxAskedDevices)) break;
            if (std::find(serials.begin(), serials.end(), device.id()) == serials.end()) serials.push_back(device.id());
        }
        for (const std::string& serial : serials) {
            if (stopped()) break;
            const CommandResult packages = run(packageQueryArguments(serial),
                                               packageQueryHeading(serials.size() > 1 ? serial : ""), true);
            if (listsPackage(packages.output, lingguangPackage)) snapshot.lingguangDevices.push_back(serial);
        }
        if (!serials.empty()) {
            snapshot.selectedDeviceID = serials.front();
            snapshot.lingguangInstalled = snapshot.hasLingguang(snapshot.selectedDeviceID);
        }
        if (snapshot.devices.empty() && !trouble.noAnswer && !trouble.serverFailure && !places.usbDevicesDir.empty()) {
            snapshot.usb = readUSBBus(places.usbDevicesDir);
        }
        // `adb kill-server` would hang against what does not answer: say
        // what holds the port instead, where the system tells.
        if ((trouble.noAnswer || trouble.serverFailure) && places.adbServer.isLocalTCP() && !stopped()) {
            if ((trouble.portHolder = ADBServer::findPortHolder(places.adbServer.port))) {
                const ADBServer::Answer answer = ADBServer::askVersion(places.adbServer, options.stop);
                if (answer.kind == ADBServer::Answer::Kind::version) trouble.portHolder->version = answer.version;
            }
        }
    } else if (!places.usbDevicesDir.empty()) {
        // Without adb the bus still tells whether a phone is there.
        snapshot.usb = readUSBBus(places.usbDevicesDir);
    }
    if (stopped()) return std::nullopt;

    for (std::size_t i = 0; i < transcript.size(); ++i) {
        if (i > 0) snapshot.log += '\n';
        snapshot.log += transcript[i];
    }

    CommandRunner::appendLog(std::string(refreshedLogPrefix) + snapshot.summary(), places);
    snapshot.checks = makeChecks(snapshot);
    return snapshot;
}

} // namespace DiagnosticsService
} // namespace kelvane
