// What the Wi-Fi steps read from adb and the phone.
#include "Wireless.h"

#include "Models.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(Wireless, ReadsAddressesVersionsAndSerials) {
    EXPECT_EQ(Wireless::wifiAddress("30: wlan0: <UP> mtu 1500\n    inet 192.168.1.20/24 brd 192.168.1.255\n"), "192.168.1.20");
    for (const char* none : {"", "Device \"wlan0\" does not exist.\n", "    inet6 fe80::1/64 scope link\n"}) {
        EXPECT_EQ(Wireless::wifiAddress(none), std::nullopt) << none;
    }
    const std::string banner = "Android Debug Bridge version 1.0.41\nVersion ";
    EXPECT_FALSE(Wireless::canPair(banner + "29.0.6-debian\n"));
    EXPECT_TRUE(Wireless::canPair(banner + "30.0.0-6374843\n"));
    const std::pair<std::string, std::optional<std::string>> addresses[] = {
        {"192.168.1.20", "192.168.1.20:5555"}, {" 192.168.1.20:40123 ", "192.168.1.20:40123"},
        {"[fe80::1]:7000", "[fe80::1]:7000"},  {"fe80::1", "[fe80::1]:5555"},
        {"192.168.1.20:", std::nullopt},       {"192.168.1.20:99999", std::nullopt},
        {"1.2.3.4:5x", std::nullopt},          {"two words", std::nullopt}, {":5555", std::nullopt}};
    for (const auto& [typed, address] : addresses) EXPECT_EQ(Wireless::withPort(typed), address) << typed;
    for (const auto& [serial, network] : {std::pair{"[fe80::1]:5555", true}, {"adb-R5CT-x._adb-tls-connect._tcp", true},
                                          {"emulator-5554", false}, {"host:", false}}) {
        EXPECT_EQ(AndroidDevice(serial, "device").overNetwork(), network) << serial;
    }
}

} // namespace
} // namespace kelvane
