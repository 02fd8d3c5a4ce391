// Watches a window program start, from the outside, as one more client of
// the X server it draws on:
//
//   kelvane_window_probe <program> [arguments...]     (DISPLAY must be set)
//
// It starts the program, waits for its first top-level window to be mapped,
// and from then on is told by the X server (DAMAGE extension) every time the
// window's pixels change; it then reads the window back (MIT-SHM where the
// server has it) and keeps a fingerprint of the picture. Once the window has
// stayed unchanged for settleSeconds, the program is ended and its peak
// resident memory read.
//
// A picture is dated by the server's own time of the last drawing it
// contains, not by when the probe got round to reading it: every change
// that the server processed before the read request shows in what the read
// returns (events carry the number of the last request of ours that the
// server had processed), so a slow read delays nothing but the probe.
//
// Printed, one line:
//   mapped_ms         start of the program to its window being mapped
//   settled_frame_ms  start of the program to the picture the window then
//                     keeps: for Kelvane, the window with its first
//                     diagnostics pass drawn (a busy indicator spins while
//                     the pass runs, so no earlier picture lasts)
//   frames            distinct pictures seen, the unpainted one included
//   peak_rss_kib      the program's peak resident memory, up to its end
//                     right after the settled picture
//   cpu_ms            processor time the program used by then, all its
//                     threads and waited-for children (the pass's tools)
//
// The program is measured as it is: no options, hooks or environment of
// its own. Exits 1 when there is no window or it never settles.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ipc.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

extern char** environ;

namespace {

// The window counts as finished once it has not changed for this long. Well
// above the busy indicator's step (80 ms) and any gap between the frames of
// one start.
constexpr double settleSeconds = 1.0;
// A start that takes longer than this is a failure, not a measurement.
constexpr double timeoutSeconds = 30.0;

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

int ignoreXErrors(Display*, XErrorEvent*) { return 0; }

// Converts the server's millisecond time stamps to this process's clock,
// from one round trip that makes the server stamp an event.
class ServerClock {
public:
    explicit ServerClock(Display* display) {
        const Window window = XCreateWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, CopyFromParent,
                                            InputOnly, CopyFromParent, 0, nullptr);
        XSelectInput(display, window, PropertyChangeMask);
        const double before = monotonicSeconds();
        XChangeProperty(display, window, XA_WM_NAME, XA_STRING, 8, PropModeReplace, nullptr, 0);
        XEvent event;
        XWindowEvent(display, window, PropertyChangeMask, &event);
        const double after = monotonicSeconds();
        serverMs_ = event.xproperty.time;
        localSeconds_ = (before + after) / 2;
        XDestroyWindow(display, window);
    }
    double toLocal(Time serverMs) const {
        // 32-bit milliseconds: differences, not values, are meaningful.
        const auto delta = std::int32_t(std::uint32_t(serverMs) - std::uint32_t(serverMs_));
        return localSeconds_ + delta / 1000.0;
    }

private:
    Time serverMs_ = 0;
    double localSeconds_ = 0;
};

// Reads a window's pixels: through shared memory where the server offers it.
class Reader {
public:
    explicit Reader(Display* display) : display_(display), shared_(XShmQueryExtension(display)) {}
    ~Reader() { release(); }

    // FNV-1a over the picture's 64-bit words; false when it cannot be read.
    // `request`: the number of the request that read it.
    bool fingerprint(Window window, std::uint64_t& picture, unsigned long& request) {
        XWindowAttributes attributes{};
        if (!XGetWindowAttributes(display_, window, &attributes) || attributes.map_state != IsViewable) return false;
        XImage* image = nullptr;
        if (shared_) {
            if (!image_ || image_->width != attributes.width || image_->height != attributes.height)
                allocate(attributes);
            request = NextRequest(display_);
            if (image_ && XShmGetImage(display_, window, image_, 0, 0, AllPlanes)) image = image_;
        }
        if (!image) {
            request = NextRequest(display_);
            image = XGetImage(display_, window, 0, 0, unsigned(attributes.width), unsigned(attributes.height), AllPlanes,
                              ZPixmap);
            if (!image) return false;
        }
        std::uint64_t hash = 14695981039346656037ULL;
        const std::size_t words = std::size_t(image->bytes_per_line) * std::size_t(image->height) / 8;
        for (std::size_t index = 0; index < words; ++index) {
            std::uint64_t word;
            std::memcpy(&word, image->data + index * 8, 8);
            hash = (hash ^ word) * 1099511628211ULL;
        }
        picture = hash ^ (std::uint64_t(image->width) << 32) ^ std::uint64_t(image->height);
        if (image != image_) XDestroyImage(image);
        return true;
    }

private:
    void allocate(const XWindowAttributes& attributes) {
        release();
        image_ = XShmCreateImage(display_, attributes.visual, unsigned(attributes.depth), ZPixmap, nullptr, &segment_,
                                 unsigned(attributes.width), unsigned(attributes.height));
        if (!image_) return;
        segment_.shmid = shmget(IPC_PRIVATE, std::size_t(image_->bytes_per_line) * std::size_t(image_->height),
                                IPC_CREAT | 0600);
        segment_.shmaddr = image_->data = static_cast<char*>(shmat(segment_.shmid, nullptr, 0));
        segment_.readOnly = False;
        // Marked for removal at once: it goes when both sides let go.
        shmctl(segment_.shmid, IPC_RMID, nullptr);
        if (segment_.shmaddr == reinterpret_cast<char*>(-1) || !XShmAttach(display_, &segment_)) {
            shared_ = false;
            image_->data = nullptr;
            XDestroyImage(image_);
            image_ = nullptr;
        }
        XSync(display_, False);
    }
    void release() {
        if (!image_) return;
        XShmDetach(display_, &segment_);
        XSync(display_, False);
        shmdt(segment_.shmaddr);
        image_->data = nullptr;
        XDestroyImage(image_);
        image_ = nullptr;
    }

    Display* display_;
    bool shared_;
    XImage* image_ = nullptr;
    XShmSegmentInfo segment_{};
};

struct Frame {
    double at; // seconds after the program's start
    std::uint64_t picture;
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <program> [arguments...]\n", argv[0]);
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "cannot open the display (DISPLAY unset or no server)\n");
        return 1;
    }
    int damageEvent = 0, damageError = 0;
    if (!XDamageQueryExtension(display, &damageEvent, &damageError)) {
        std::fprintf(stderr, "the X server has no DAMAGE extension\n");
        return 1;
    }
    XSetErrorHandler(ignoreXErrors);
    const ServerClock serverClock(display);
    Reader reader(display);
    const Window root = DefaultRootWindow(display);
    XSelectInput(display, root, SubstructureNotifyMask);
    XSync(display, False);

    const double started = monotonicSeconds();
    pid_t pid = 0;
    if (const int error = posix_spawn(&pid, argv[1], nullptr, nullptr, argv + 1, environ); error != 0) {
        std::fprintf(stderr, "cannot start %s: %s\n", argv[1], std::strerror(error));
        return 1;
    }

    Window window = None;
    Damage damage = None;
    double mapped = 0;
    std::vector<Frame> frames;
    // Changes reported but not yet covered by a read: (request number, time).
    std::vector<std::pair<unsigned long, double>> unread;
    bool ended = false;
    int status = 0;
    double lastChange = started;

    const auto take = [&](XEvent& event, double at) {
        if (event.type == MapNotify && window == None && !event.xmap.override_redirect) {
            window = event.xmap.window;
            mapped = at - started;
            damage = XDamageCreate(display, window, XDamageReportNonEmpty);
            // The first drawing may have come before the damage record: read
            // once at any rate, dated now.
            unread.emplace_back(NextRequest(display), at);
            lastChange = at;
        } else if (event.type == damageEvent + XDamageNotify && window != None) {
            const auto& notify = reinterpret_cast<const XDamageNotifyEvent&>(event);
            unread.emplace_back(notify.serial, serverClock.toLocal(notify.timestamp));
            lastChange = at;
        }
    };

    while (true) {
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            take(event, monotonicSeconds());
        }
        if (!unread.empty()) {
            // Cleared before reading, so that a change during the read is
            // reported again.
            XDamageSubtract(display, damage, None, None);
            unsigned long readRequest = 0;
            std::uint64_t picture = 0;
            const bool read = reader.fingerprint(window, picture, readRequest);
            // Everything that reached the queue while waiting for the
            // picture: what the server did before the read is in it.
            while (XEventsQueued(display, QueuedAlready) > 0) {
                XEvent event;
                XNextEvent(display, &event);
                take(event, monotonicSeconds());
            }
            double latest = -1;
            std::vector<std::pair<unsigned long, double>> later;
            for (const auto& [request, at] : unread) {
                if (request < readRequest) latest = std::max(latest, at);
                else later.emplace_back(request, at);
            }
            // A window that cannot be read (gone) has nothing to date.
            unread = read ? std::move(later) : decltype(unread){};
            if (read && latest >= 0 && (frames.empty() || frames.back().picture != picture))
                frames.push_back({latest - started, picture});
            continue;
        }
        const double now = monotonicSeconds();
        if (waitpid(pid, &status, WNOHANG) == pid) {
            ended = true;
            break;
        }
        if (window != None && now - lastChange >= settleSeconds) break;
        if (now - started >= timeoutSeconds) break;
        pollfd connection{ConnectionNumber(display), POLLIN, 0};
        const double wait = window != None ? settleSeconds - (now - lastChange) : 0.05;
        poll(&connection, 1, int(wait * 1000) + 1);
    }

    rusage usage{};
    if (!ended) {
        kill(pid, SIGTERM);
        wait4(pid, &status, 0, &usage);
    }
    if (ended || window == None || frames.empty() || monotonicSeconds() - lastChange < settleSeconds - 0.01) {
        std::fprintf(stderr, "%s: %s\n", argv[1],
                     ended ? "ended before its window settled" : window == None ? "showed no window" : "never settled");
        return 1;
    }

    // The settled picture is the last one recorded (equal neighbours are
    // never recorded twice), dated by its first appearance.
    const double cpuMs = (double(usage.ru_utime.tv_sec) + double(usage.ru_stime.tv_sec)) * 1000.0 +
                         (double(usage.ru_utime.tv_usec) + double(usage.ru_stime.tv_usec)) / 1000.0;
    std::printf("mapped_ms=%.1f settled_frame_ms=%.1f frames=%zu peak_rss_kib=%ld cpu_ms=%.1f\n", mapped * 1000.0,
                frames.back().at * 1000.0, frames.size(), usage.ru_maxrss /* KiB on Linux */, cpuMs);
    return 0; // the reader, then the connection, go with the process
}
