#include "Checklist.h"

#include "OutsideTools.h"

#include <algorithm>

namespace kelvane::DiagnosticsService {
namespace {

// Checklist rows: titles and details.
constexpr std::string_view adbTitle = "ADB";
#if defined(__linux__)
constexpr std::string_view adbMissingDetail = "Missing. Install with: sudo apt install adb";
#else
constexpr std::string_view adbMissingDetail =
    "Missing. Install Android Platform-Tools or bundle platform-tools/adb.";
#endif
constexpr std::string_view scrcpyTitle = "scrcpy";
#if defined(__linux__)
constexpr std::string_view scrcpyMissingDetail = "Missing. Install with: sudo apt install scrcpy";
#else
constexpr std::string_view scrcpyMissingDetail = "Missing. Install with: brew install scrcpy";
#endif
constexpr std::string_view deviceTitle = "Android Device";
constexpr std::string_view noDeviceDetail =
    "No USB device detected. Connect phone, enable USB debugging, and approve the prompt.";
constexpr std::string_view authorizedDetailSuffix = " authorized device(s).";
constexpr std::string_view unauthorizedDetail =
    "Device detected but not authorized. Approve USB debugging on the phone.";
// When adb lists no phone: what the USB bus shows instead.
constexpr std::string_view debuggingOfferedDetail =
    "A phone offers USB debugging, but adb does not list it. Another adb server may hold it: run adb kill-server, "
    "then reconnect the phone.";
constexpr std::string_view fastbootDetail =
    "A phone in fastboot (bootloader) mode is attached. Restart it into Android.";
// When adb is missing: what the USB bus shows all the same.
constexpr std::string_view debuggingOfferedWithoutADBDetail =
    "A phone offering USB debugging is attached, but adb is missing: install adb first.";
constexpr std::string_view phonesUncheckedDetail = "adb is missing, so phones cannot be checked.";
constexpr std::string_view fileTransferOnlyDetail =
    "A USB device for file or photo transfer is attached, but none offers USB debugging. If it is your phone, "
    "turn on Developer options \u2192 USB debugging.";
// When adb itself fails.
constexpr std::string_view noAnswerDetailEnd = ". Run adb kill-server, then reconnect the phone and press Refresh.";
// When the program holding adb's port is known: rather than adb
// kill-server, which hangs against a program that does not answer.
constexpr std::string_view endHolderAdvice =
    ". End that program (or, if it is another tool's adb, use that same adb for every tool), then press Refresh.";
constexpr std::string_view serverFailureDetailEnd =
    ". Close the program that holds adb's port (often an adb of another version) or run adb kill-server, then press "
    "Refresh.";
// A device state that Kelvane has advice for; for the others adb lists, the
// advice to approve USB debugging stands. `mode`: the state is a mode of the
// phone other than Android.
struct StateAdvice {
    std::string_view state;
    std::string_view detail;
    bool mode = false;
    // For phones reached over the network, where there is no cable and no
    // USB; empty: the same as `detail`.
    std::string_view networkDetail = {};
};
constexpr std::string_view networkUnauthorizedDetail = "Device detected but not authorized. Approve on the phone.";
// The state most in need of the user's action first.
constexpr StateAdvice stateAdvice[] = {
#if defined(__linux__)
    // adb lists a phone that this user may not open (no udev rule gives
    // access) in the state "no" ("no permissions ..."): there is no prompt
    // to approve.
    {"no", "Device detected but this user may not open it. Install adb's udev rules or join the plugdev group, then "
           "reconnect the phone."},
#endif
    {"unauthorized", unauthorizedDetail, false, networkUnauthorizedDetail},
    {"authorizing", "Device is waiting for approval. Approve USB debugging on the phone, then wait a moment.", false,
     "Device is waiting for approval. Approve on the phone, then wait a moment."},
    {"offline", "Device detected but offline. Reconnect the cable, or run adb kill-server, then press Refresh.", false,
     "Device detected but offline. Check that the phone is on the same network with wireless debugging on, then "
     "press Refresh."},
    {"recovery", "", true},
    {"sideload", "", true},
    {"rescue", "", true},
    {"bootloader", "", true},
};
constexpr std::string_view otherModeDetailStart = "Device detected in ";
constexpr std::string_view otherModeDetailEnd = " mode, not Android. Restart the phone into Android.";
// adb replaced another adb's server of another version.
constexpr std::string_view heldByOtherVersionDetail =
    ", and this adb is version {client}: two adb versions stop each other's servers. End that program, or use that "
    "same adb for every tool.";
constexpr std::string_view versionClashDetail =
    ". Another adb's server (version {server}) ran here, and this adb (version {client}) replaced it: two adb "
    "versions stop each other's servers. Use one adb for every tool.";
constexpr std::string_view lingguangTitle = "Lingguang";
constexpr std::string_view lingguangInstalledDetail = "Installed on selected device.";
constexpr std::string_view lingguangMissingDetail =
    "Not installed or no selected device. Normal mirroring still works.";

// "adb's port 5037 is held by /opt/android-studio/platform-tools/adb (pid
// 4242, version 39)".
std::string portHolderText(const PortHolder& holder) {
    std::string text = "adb's port " + std::to_string(holder.port) + " is held by " + holder.program + " (pid " +
                       std::to_string(holder.pid);
    if (holder.version) text += ", version " + std::to_string(*holder.version);
    return text + ")";
}

// Row 3: the phone.
CheckItem deviceCheck(const DiagnosticsSnapshot& snapshot) {
    const auto row = [](CheckState state, std::string detail) {
        return CheckItem(std::string(deviceTitle), state, std::move(detail));
    };
    const ADBTrouble& trouble = snapshot.adbTrouble;
    if (snapshot.devices.empty()) {
        // What to do: end the program that holds adb's port where it is
        // known, otherwise adb's own remedy.
        const auto advice = [&](std::string_view otherwise) {
            if (!trouble.portHolder) return std::string(otherwise);
            return ". " + portHolderText(*trouble.portHolder) + std::string(endHolderAdvice);
        };
        if (trouble.noAnswer) {
            return row(CheckState::fail, "adb did not answer within " +
                                             std::to_string(static_cast<int>(diagnosticsCommandTimeout)) + " seconds" +
                                             advice(noAnswerDetailEnd));
        }
        if (trouble.serverFailure) {
            return row(CheckState::fail, "adb's server could not start: " + *trouble.serverFailure +
                                             advice(serverFailureDetailEnd));
        }
        const bool adbMissing = !snapshot.adbPath;
        switch (snapshot.usb) {
        case USBFinding::debuggingOffered:
            return row(CheckState::fail, std::string(adbMissing ? debuggingOfferedWithoutADBDetail : debuggingOfferedDetail));
        case USBFinding::fastboot: return row(CheckState::fail, std::string(fastbootDetail));
        case USBFinding::fileTransferOnly:
            if (!adbMissing) return row(CheckState::fail, std::string(fileTransferOnlyDetail));
            break;
        case USBFinding::nothing: break;
        }
        return row(CheckState::fail, std::string(adbMissing ? phonesUncheckedDetail : noDeviceDetail));
    }
    if (const std::size_t authorized = snapshot.authorizedDevices().size(); authorized > 0) {
        return row(CheckState::pass, std::to_string(authorized) + std::string(authorizedDetailSuffix));
    }
    // Every phone meant reached over the network: no word of USB.
    const auto overNetwork = [&](std::string_view state) {
        return std::all_of(snapshot.devices.begin(), snapshot.devices.end(), [&](const AndroidDevice& device) {
            return (!state.empty() && device.state() != state) || device.overNetwork();
        });
    };
    for (const StateAdvice& advice : stateAdvice) {
        const auto inState = [&](const AndroidDevice& device) { return device.state() == advice.state; };
        if (std::none_of(snapshot.devices.begin(), snapshot.devices.end(), inState)) continue;
        if (!advice.networkDetail.empty() && overNetwork(advice.state)) {
            return row(CheckState::warn, std::string(advice.networkDetail));
        }
        if (!advice.mode) return row(CheckState::warn, std::string(advice.detail));
        return row(CheckState::warn,
                   std::string(otherModeDetailStart) + std::string(advice.state) + std::string(otherModeDetailEnd));
    }
    return row(CheckState::warn, std::string(overNetwork({}) ? networkUnauthorizedDetail : unauthorizedDetail));
}

} // namespace

std::vector<CheckItem> makeChecks(const DiagnosticsSnapshot& snapshot) {
    std::vector<CheckItem> checks;
    checks.reserve(4);

    const ADBTrouble& trouble = snapshot.adbTrouble;
    if (!snapshot.adbPath) {
        checks.emplace_back(std::string(adbTitle), CheckState::fail, std::string(adbMissingDetail));
    } else if (trouble.versionClash) {
        // Named by the program that holds the port, where that is known.
        const bool held = trouble.portHolder && trouble.portHolder->version;
        std::string detail = held ? ". " + portHolderText(*trouble.portHolder) + std::string(heldByOtherVersionDetail)
                                  : std::string(versionClashDetail);
        if (!held) detail.replace(detail.find("{server}"), 8, trouble.versionClash->first);
        detail.replace(detail.find("{client}"), 8, trouble.versionClash->second);
        checks.emplace_back(std::string(adbTitle), CheckState::warn, snapshot.adbSource + ": " + *snapshot.adbPath + detail);
    } else {
        checks.emplace_back(std::string(adbTitle), CheckState::pass, snapshot.adbSource + ": " + *snapshot.adbPath);
    }

    if (snapshot.scrcpyPath) {
        checks.emplace_back(std::string(scrcpyTitle), CheckState::pass, *snapshot.scrcpyPath);
    } else {
        checks.emplace_back(std::string(scrcpyTitle), CheckState::fail, std::string(scrcpyMissingDetail));
    }

    checks.push_back(deviceCheck(snapshot));
    if (snapshot.lingguangInstalled) {
        checks.emplace_back(std::string(lingguangTitle), CheckState::pass, std::string(lingguangInstalledDetail));
    } else {
        checks.emplace_back(std::string(lingguangTitle), CheckState::warn, std::string(lingguangMissingDetail));
    }
    return checks;
}

bool canStartMirror(const DiagnosticsSnapshot& snapshot) {
    return snapshot.adbPath && snapshot.scrcpyPath && !snapshot.authorizedDevices().empty();
}

DiagnosticsSnapshot withOtherServer(DiagnosticsSnapshot snapshot, int version, int ownVersion,
                                    std::optional<PortHolder> holder) {
    snapshot.adbTrouble.versionClash = std::make_pair(std::to_string(version), std::to_string(ownVersion));
    snapshot.adbTrouble.portHolder = std::move(holder);
    snapshot.checks = makeChecks(snapshot);
    return snapshot;
}

DiagnosticsSnapshot judgedFor(DiagnosticsSnapshot snapshot, const std::optional<std::string>& serial) {
    const bool found = snapshot.hasLingguang(serial ? serial : snapshot.selectedDeviceID);
    if (found == snapshot.lingguangInstalled) return snapshot;
    snapshot.lingguangInstalled = found;
    snapshot.checks = makeChecks(snapshot);
    return snapshot;
}

} // namespace kelvane::DiagnosticsService
