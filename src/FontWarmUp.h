// The fonts' set-up, done on a thread of its own while the window toolkit
// starts and the window is built.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace kelvane {

// Before the first text can be measured, the system's font configuration
// must be read (fontconfig, on Linux and the other X11 and Wayland systems)
// and the toolkit's list of fonts filled in: some milliseconds that the
// window would otherwise wait for. Made before the toolkit starts, this
// reads the configuration on a thread of its own at once; told that the
// toolkit has started, the same thread fills in the font list while the
// window is built. Both are safe from any thread (fontconfig sets its
// configuration up once per process; Qt's font database locks itself), and
// whoever comes first does the work.
class FontWarmUp {
public:
    FontWarmUp();
    ~FontWarmUp();
    FontWarmUp(const FontWarmUp&) = delete;
    FontWarmUp& operator=(const FontWarmUp&) = delete;

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
