#include "Models.h"

#include <algorithm>
#include <random>

namespace kelvane {

std::string_view rawValue(CheckState state) {
    switch (state) {
    case CheckState::pass: return "pass";
    case CheckState::warn: return "warn";
    case CheckState::fail: return "fail";
    }
    return "fail";
}

AndroidDevice::AndroidDevice(std::string id, std::string state)
    : id_(std::move(id)), state_(std::move(state)) {}

bool AndroidDevice::isAuthorized() const { return state_ == "device"; }

bool AndroidDevice::overNetwork() const {
    if (id_.find("._adb-tls-") != std::string::npos) return true;
    const std::size_t colon = id_.rfind(':');
    return colon != std::string::npos && colon > 0 && colon + 1 < id_.size() &&
           std::all_of(id_.begin() + std::ptrdiff_t(colon) + 1, id_.end(), [](unsigned char c) { return c >= '0' && c <= '9'; });
}

UUID UUID::random() {
    // One generator per thread, seeded from the system's entropy source.
    thread_local std::mt19937_64 generator{[] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }()};
    UUID uuid;
    for (std::size_t i = 0; i < uuid.bytes.size(); i += 8) {
        std::uint64_t word = generator();
        for (std::size_t j = 0; j < 8; ++j) uuid.bytes[i + j] = static_cast<std::uint8_t>(word >> (8 * j));
    }
    uuid.bytes[6] = static_cast<std::uint8_t>((uuid.bytes[6] & 0x0F) | 0x40); // version 4
    uuid.bytes[8] = static_cast<std::uint8_t>((uuid.bytes[8] & 0x3F) | 0x80); // RFC 4122 variant
    return uuid;
}

std::string UUID::toString() const {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

CheckItem::CheckItem(std::string title, CheckState state, std::string detail)
    : id_(UUID::random()), title_(std::move(title)), state_(state), detail_(std::move(detail)) {}

DiagnosticsSnapshot DiagnosticsSnapshot::initial() { return DiagnosticsSnapshot{}; }

std::vector<AndroidDevice> DiagnosticsSnapshot::authorizedDevices() const {
    std::vector<AndroidDevice> authorized;
    for (const AndroidDevice& device : devices) {
        if (device.isAuthorized()) authorized.push_back(device);
    }
    return authorized;
}

std::string DiagnosticsSnapshot::summary() const {
    if (!adbPath) return "ADB is missing.";
    if (!scrcpyPath) return "scrcpy is missing.";
    const std::size_t count = authorizedDevices().size();
    if (count > 0) return "Ready to mirror " + std::to_string(count) + " authorized device(s).";
    return "No authorized Android device.";
}

bool DiagnosticsSnapshot::hasLingguang(const std::optional<std::string>& serial) const {
    return serial && std::find(lingguangDevices.begin(), lingguangDevices.end(), *serial) != lingguangDevices.end();
}

} // namespace kelvane
