// The value records of a diagnostics pass.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvane {

// The verdict of one checklist row.
enum class CheckState { pass, warn, fail };

// "pass", "warn" or "fail".
std::string_view rawValue(CheckState state);

// One device line of `adb devices`.
class AndroidDevice {
public:
    AndroidDevice(std::string id, std::string state);

    // The serial; also the device's identity key.
    const std::string& id() const { return id_; }
    // adb's state word; "device" means USB debugging is authorized.
    const std::string& state() const { return state_; }
    bool isAuthorized() const;
    // Whether adb reaches it over the network: its serial is an address
    // ("192.168.1.20:5555", "[fe80::1]:5555") or the name of a wireless
    // debugging service, not a USB serial.
    bool overNetwork() const;

    bool operator==(const AndroidDevice&) const = default;

private:
    std::string id_;
    std::string state_;
};

// A random (version 4) UUID.
struct UUID {
    std::array<std::uint8_t, 16> bytes{};

    static UUID random();
    // Lower-case 8-4-4-4-12 form.
    std::string toString() const;
    bool operator==(const UUID&) const = default;
};

// One checklist row. Every item gets a new identifier; rows are not compared.
class CheckItem {
public:
    CheckItem(std::string title, CheckState state, std::string detail);

    const UUID& id() const { return id_; }
    const std::string& title() const { return title_; }
    CheckState state() const { return state_; }
    const std::string& detail() const { return detail_; }

private:
    UUID id_;
    std::string title_;
    CheckState state_;
    std::string detail_;
};

// The program that holds adb's port (on Linux, where the system tells).
struct PortHolder {
    int port = 0;
    // Its executable, or its name where the executable is not told.
    std::string program;
    long pid = 0;
    // Its answer as adb's server to host:version; nothing: no answer.
    std::optional<int> version;

    bool operator==(const PortHolder&) const = default;
};

// What went wrong with adb itself in a pass, beside what it listed.
struct ADBTrouble {
    // adb start-server or adb devices ran into its time limit.
    bool noAnswer = false;
    // adb's server could not start: adb's own most telling line about it.
    std::optional<std::string> serverFailure;
    // The server that ran was another adb's, of another version, and this
    // adb replaced it: the two versions as adb names them (server, client).
    // Following the phone found such a server holding adb's port later.
    std::optional<std::pair<std::string, std::string>> versionClash;
    // What holds adb's port, where a server of another version or a program
    // that does not answer holds it.
    std::optional<PortHolder> portHolder;

    bool operator==(const ADBTrouble&) const = default;
};

// What the USB bus shows when adb lists no phone or is missing (Linux).
enum class USBFinding {
    nothing,
    // A device offers adb's interface: USB debugging is on.
    debuggingOffered,
    // A phone in fastboot (bootloader) mode: fastboot's interface.
    fastboot,
    // A device offers file or photo transfer (MTP, PTP), and none adb's.
    fileTransferOnly,
};

// What one diagnostics pass found out.
struct DiagnosticsSnapshot {
    std::optional<std::string> adbPath;
    std::string adbSource = "Missing";
    std::optional<std::string> scrcpyPath;
    std::vector<AndroidDevice> devices;
    std::optional<std::string> selectedDeviceID;
    bool lingguangInstalled = false;
    std::vector<CheckItem> checks;
    std::string log;
    // The authorized devices found with Lingguang; lingguangInstalled tells
    // it of the chosen one.
    std::vector<std::string> lingguangDevices;
    ADBTrouble adbTrouble;
    USBFinding usb = USBFinding::nothing;

    // The snapshot that stands before the first pass: nothing known yet.
    static DiagnosticsSnapshot initial();

    // The devices whose state is exactly "device", in list order.
    std::vector<AndroidDevice> authorizedDevices() const;
    // The one-line status sentence.
    std::string summary() const;
    // Whether Lingguang was found on the device `serial`.
    bool hasLingguang(const std::optional<std::string>& serial) const;
};

} // namespace kelvane
