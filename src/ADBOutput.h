// What adb prints and sends, read: pure text operations, no command run, no
// file read.
#pragma once

#include "CommandRunner.h"
#include "Models.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane::DiagnosticsService {

// The devices of `adb devices` output: the lines after adb's heading "List
// of devices attached" (trailing blanks, tabs and carriage returns allowed),
// each with two or more blank- or tab-separated fields giving one device
// (serial, state). Without a heading there are no devices: what adb printed
// instead, such as the notices of a server that failed to start, is no phone.
// A heading line is never a device, and neither is one of adb's own notices,
// wherever it stands: a line that begins with "* " (the daemon's), "adb
// server version (", "adb: " or "error: ". Lines end at line feeds, and a
// carriage return right before one ends the line with it; empty lines do
// not count.
std::vector<AndroidDevice> parseDevices(std::string_view output);

// The device lists at the front of `stream`, what adb's server has sent on
// a host:track-devices connection so far: each is four hexadecimal digits
// of length, then the list, one "SERIAL<TAB>STATE" line per device. The
// whole ones are taken off the front of `stream`; a partial one stays for
// the next call. Nothing, with `stream` unchanged, when what was sent is not
// such a list: the peer is then no adb server.
std::optional<std::vector<std::vector<AndroidDevice>>> takeDeviceLists(std::string& stream);

// The version of adb's protocol that `adb version` names ("Android Debug
// Bridge version 1.0.41": 41), the number its server answers to
// host:version; nothing when the text names none.
std::optional<int> adbProtocolVersion(std::string_view versionOutput);

// What a transcript shows for an adb command: "$ adb ", the words shown
// and a line end.
std::string transcriptHeading(std::string_view shownCommand);
// The transcript entry of a command: its heading and its output, and a last
// line that says so when its time limit ended it.
std::string transcriptEntry(const std::string& heading, const CommandResult& result);

// Whether pm's package list `output` holds the package itself: a line
// "package:<package>". pm's filter is a substring match, so a longer name
// that holds it (a beta, a plug-in) is listed too, but is another app.
bool listsPackage(std::string_view output, std::string_view package);

// Notes in `trouble` what `result` of an adb command tells of adb itself:
// its time limit ended it; its server could not start (with adb's own most
// telling line about it); or it replaced a server of another version (with
// both versions). What was noted already stays.
void noteADBTrouble(ADBTrouble& trouble, const CommandResult& result);

} // namespace kelvane::DiagnosticsService
