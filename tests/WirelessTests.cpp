// What the Wi-Fi steps read from adb and the phone.
#include "Wireless.h"

#include "Models.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(Wireless, ReadsAddressesVersionsAndSerials) {
    const std::string wlan = "30: wlan0: <BROADCAST,UP> mtu 1500\n    inet 192.168.1.20/24 brd 192.168.1.255 scope global "
                             "wlan0\n       valid_lft forever\n";
    EXPECT_EQ(Wireless::wifiAddress(wlan), "192.168.1.20");
    EXPECT_EQ(Wireless::wifiAddress(""), std::nullopt);
    EXPECT_EQ(Wireless::wifiAddress("Device \"wlan0\" does not exist.\n"), std::nullopt);
    EXPECT_EQ(Wireless::wifiAddress("    inet6 fe80::1/64 scope link\n"), std::nullopt);

    EXPECT_FALSE(Wireless::canPair("Android Debug Bridge version 1.0.41\nVersion 29.0.6-debian\n"));
    EXPECT_TRUE(Wireless::canPair("Android Debug Bridge version 1.0.41\nVersion 30.0.0-6374843\n"));
    EXPECT_TRUE(Wireless::canPair("Android Debug Bridge version 1.0.41\nVersion 35.0.2-12147458\n"));
    EXPECT_FALSE(Wireless::canPair("Android Debug Bridge version 1.0.39\n"));

    const std::pair<std::string, std::optional<std::string>> addresses[] = {
        {"192.168.1.20", "192.168.1.20:5555"}, {" 192.168.1.20:40123 ", "192.168.1.20:40123"},
        {"phone.lan", "phone.lan:5555"},       {"[fe80::1]:7000", "[fe80::1]:7000"},
        {"fe80::1", "[fe80::1]:5555"},         {"192.168.1.20:", std::nullopt},
        {"192.168.1.20:99999", std::nullopt},  {"192.168.1.20:0", std::nullopt},
        {"1.2.3.4:5x", std::nullopt},          {"two words", std::nullopt},
        {"", std::nullopt},                    {":5555", std::nullopt}};
    for (const auto& [typed, address] : addresses) EXPECT_EQ(Wireless::withPort(typed), address) << typed;

    for (const std::string serial : {"192.168.1.20:5555", "[fe80::1]:5555", "adb-R5CT-x._adb-tls-connect._tcp"}) {
        EXPECT_TRUE(AndroidDevice(serial, "device").overNetwork()) << serial;
    }
    for (const std::string serial : {"R58M123ABC", "emulator-5554", "usb:1-1", "host:"}) {
        EXPECT_FALSE(AndroidDevice(serial, "device").overNetwork()) << serial;
    }
}

} // namespace
} // namespace kelvane
