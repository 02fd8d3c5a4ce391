#include "Models.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace kelvane {
namespace {

TEST(AndroidDevice, OnlyTheExactWordDeviceIsAuthorized) {
    EXPECT_TRUE(AndroidDevice("a", "device").isAuthorized());
    for (const char* state : {"Device", "unauthorized", "offline", "device\r", " device", ""}) {
        EXPECT_FALSE(AndroidDevice("a", state).isAuthorized()) << state;
    }
}

TEST(UUID, RandomVersion4InCanonicalForm) {
    const std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string text = UUID::random().toString();
        EXPECT_TRUE(std::regex_match(text, form)) << text;
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(CheckItem, EveryItemGetsItsOwnIdentifier) {
    const CheckItem first("ADB", CheckState::pass, "x");
    const CheckItem second("ADB", CheckState::pass, "x");
    EXPECT_NE(first.id(), second.id());
    const CheckItem copy = first;
    EXPECT_EQ(copy.id(), first.id()); // a copy is the same row
}

TEST(DiagnosticsSnapshot, InitialSnapshotKnowsNothing) {
    const DiagnosticsSnapshot snapshot = DiagnosticsSnapshot::initial();
    EXPECT_EQ(snapshot.adbPath, std::nullopt);
    EXPECT_EQ(snapshot.adbSource, "Missing");
    EXPECT_EQ(snapshot.scrcpyPath, std::nullopt);
    EXPECT_TRUE(snapshot.devices.empty());
    EXPECT_EQ(snapshot.selectedDeviceID, std::nullopt);
    EXPECT_FALSE(snapshot.lingguangInstalled);
    EXPECT_TRUE(snapshot.checks.empty());
    EXPECT_EQ(snapshot.log, "");
    EXPECT_TRUE(snapshot.authorizedDevices().empty());
    EXPECT_EQ(snapshot.summary(), "ADB is missing.");
}

TEST(DiagnosticsSnapshot, AuthorizedDevicesKeepOrderAndDuplicates) {
    DiagnosticsSnapshot snapshot;
    snapshot.devices = {{"a", "unauthorized"}, {"b", "device"}, {"c", "Device"}, {"b", "device"}, {"d", "device"}};
    const std::vector<AndroidDevice> expected{{"b", "device"}, {"b", "device"}, {"d", "device"}};
    EXPECT_EQ(snapshot.authorizedDevices(), expected);
}

struct SummaryCase {
    const char* name;
    bool adb;
    bool scrcpy;
    std::vector<AndroidDevice> devices;
    std::string expected;
};

TEST(DiagnosticsSnapshot, SummaryTakesTheFirstRuleThatApplies) {
    const AndroidDevice ok("s1", "device");
    const AndroidDevice locked("s2", "unauthorized");
    const std::vector<SummaryCase> cases{
        {"adb missing wins over everything", false, false, {ok}, "ADB is missing."},
        {"adb missing, scrcpy present", false, true, {ok}, "ADB is missing."},
        {"scrcpy missing", true, false, {ok}, "scrcpy is missing."},
        {"one of three authorized", true, true, {locked, ok, locked}, "Ready to mirror 1 authorized device(s)."},
        {"duplicate serials both count", true, true, {ok, ok}, "Ready to mirror 2 authorized device(s)."},
        {"twelve devices", true, true, std::vector<AndroidDevice>(12, ok), "Ready to mirror 12 authorized device(s)."},
        {"only unauthorized and offline", true, true, {locked, {"s3", "offline"}}, "No authorized Android device."},
        {"no devices", true, true, {}, "No authorized Android device."},
        {"capitalised Device", true, true, {{"s4", "Device"}}, "No authorized Android device."},
    };
    for (const SummaryCase& c : cases) {
        DiagnosticsSnapshot snapshot;
        // Any present path counts, even an empty one; the pick, Lingguang
        // and the log never do.
        if (c.adb) snapshot.adbPath = "";
        if (c.scrcpy) snapshot.scrcpyPath = "";
        snapshot.devices = c.devices;
        snapshot.selectedDeviceID = "s2";
        snapshot.lingguangInstalled = true;
        snapshot.log = "Ready to mirror";
        EXPECT_EQ(snapshot.summary(), c.expected) << c.name;
    }
}

} // namespace
} // namespace kelvane
