// Where Kelvane finds its tools, writes its activity log and meets adb's
// server: fixed for users, handed in by tests.
#pragma once

#include "ADBServer.h"

#include <string>
#include <vector>

namespace kelvane {

// Where Kelvane looks for its tools and writes its activity log. Fixed for
// users; tests hand in their own.
struct Places {
    // The application bundle's root (X.app), or the directory that holds a
    // bare executable. The bundled adb lies below it.
    std::string bundleRoot;
    // The adb candidates that follow the bundled copy, in order.
    std::vector<std::string> adbCandidates;
    // The scrcpy candidates, in order.
    std::vector<std::string> scrcpyCandidates;
    // The activity log, shared by every user of the machine.
    std::string logPath;
    // The user's own activity log, which takes the shared one's place when
    // that cannot be used (someone else's file, a link, a directory, a full
    // disk); empty: none. It lies below privateLogBase, a directory of the
    // user's own (the session's runtime directory, the per-user temporary
    // directory or the home directory), and is made only where every
    // directory from there down belongs to the user alone.
    std::string privateLogPath;
    std::string privateLogBase;
    // Linux's list of USB devices and interfaces (/sys/bus/usb/devices),
    // read when adb lists no phone; empty: not read.
    std::string usbDevicesDir;
    // Where adb's server listens: adb's variables say.
    ADBServerAddress adbServer;
    // The adb candidates after adbCandidates: on Linux, "adb" in each
    // absolute directory of the search path Kelvane was started with.
    std::vector<std::string> adbOnSearchPath;

    // This installation's places.
    static Places standard();
};

} // namespace kelvane
