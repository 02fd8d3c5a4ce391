// Work the window toolkit would otherwise do on the UI thread while the
// window waits, done ahead on a thread of its own while the toolkit starts.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace kelvane {

// Before the window's first text can be measured or announced, three things
// take some milliseconds each that the window would otherwise wait for:
//  - the session bus connection, which the accessibility bridge makes on the
//    first change a screen reader could be told of (on X11 and Wayland; with
//    no session bus, the attempt runs a helper program and fails);
//  - reading the system's font configuration (fontconfig);
//  - filling in the toolkit's list of fonts.
// Made before the toolkit starts, this does the first two on a thread of its
// own at once; told that the toolkit has started, the same thread fills in
// the font list while the window is built. All three are safe from any
// thread (Qt makes the standard bus connections on a thread of its own and
// keeps them for the whole process; fontconfig sets its configuration up
// once per process; Qt's font database locks itself), and whoever comes
// first does the work.
class ToolkitWarmUp {
public:
    ToolkitWarmUp();
    ~ToolkitWarmUp();
    ToolkitWarmUp(const ToolkitWarmUp&) = delete;
    ToolkitWarmUp& operator=(const ToolkitWarmUp&) = delete;

    // The application object exists: the font list can be filled in.
    void toolkitStarted();
    // Waits for the thread; call before the application object goes.
    void finish();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    enum class Step { waiting, toolkitStarted, finishing } step_ = Step::waiting;
    std::thread thread_;
};

} // namespace kelvane
