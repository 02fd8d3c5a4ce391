#include "USBBus.h"

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <map>
#include <string_view>

namespace kelvane::DiagnosticsService {

namespace {

// The first line of the small file at `path`, without its line end; empty
// when it cannot be read.
std::string firstLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

// adb's USB interface: class, subclass, protocol (hexadecimal, as sysfs
// writes them). Still images (PTP) are class 06/01/01; an MTP interface is
// vendor-specific and known by its name.
constexpr std::string_view adbInterface[] = {"ff", "42", "01"};
constexpr std::string_view fastbootInterface[] = {"ff", "42", "03"};
constexpr std::string_view stillImageInterface[] = {"06", "01", "01"};
constexpr std::string_view transferInterfaceNames[] = {"MTP", "PTP"};

} // namespace

USBFinding readUSBBus(const std::string& devicesDir) {
    DIR* directory = ::opendir(devicesDir.c_str());
    if (!directory) return USBFinding::nothing;
    // Per device ("1-1"), from its interfaces ("1-1:1.0"): adb's, fastboot's,
    // a transfer one.
    struct Offers {
        bool adb = false, fastboot = false, transfer = false;
    };
    std::map<std::string, Offers> devices;
    while (const dirent* entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        const std::size_t colon = name.find(':');
        if (colon == std::string::npos) continue;
        const std::string interface = devicesDir + "/" + name + "/";
        const std::string kind[] = {firstLine(interface + "bInterfaceClass"),
                                    firstLine(interface + "bInterfaceSubClass"),
                                    firstLine(interface + "bInterfaceProtocol")};
        const auto is = [&](const std::string_view (&expected)[3]) { return std::equal(kind, kind + 3, expected); };
        const std::string label = firstLine(interface + "interface");
        auto& [adb, fastboot, transfer] = devices[name.substr(0, colon)];
        if (is(adbInterface)) adb = true;
        if (is(fastbootInterface)) fastboot = true;
        if (is(stillImageInterface) || std::find(std::begin(transferInterfaceNames), std::end(transferInterfaceNames),
                                                 label) != std::end(transferInterfaceNames)) {
            transfer = true;
        }
    }
    ::closedir(directory);
    // The finding most in need of the user's action first.
    USBFinding found = USBFinding::nothing;
    for (const auto& [device, offers] : devices) {
        if (offers.adb) return USBFinding::debuggingOffered;
        if (offers.fastboot) found = USBFinding::fastboot;
        if (offers.transfer && found == USBFinding::nothing) found = USBFinding::fileTransferOnly;
    }
    return found;
}

} // namespace kelvane::DiagnosticsService
