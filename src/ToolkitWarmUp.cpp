#include "ToolkitWarmUp.h"

#include <QCoreApplication>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QStringList>
#include <QThread>

#include <system_error>

#include <dlfcn.h>

#ifdef KELVANE_SESSION_BUS
#include <QDBusConnection>
#endif

namespace kelvane {
namespace {

// The warm-up waiting for the toolkit (the UI thread's alone).
ToolkitWarmUp* waitingForToolkit = nullptr;

// Called by the toolkit while the application object is made, as soon as
// its platform and with it the font database exist, a few milliseconds
// before the application object is finished.
void platformStarted() {
    if (waitingForToolkit && !QGuiApplication::platformName().isEmpty()) waitingForToolkit->toolkitStarted();
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(platformStarted)

ToolkitWarmUp::ToolkitWarmUp() {
    waitingForToolkit = this;
    // The toolkit takes the first thread that asks for its own for the
    // application's main thread: this one must ask before the bus
    // connection's objects are made on the other.
    QThread::currentThread();
    // Looked up rather than linked: present exactly where the toolkit itself
    // uses fontconfig.
    using Init = int (*)();
    const auto readConfiguration = reinterpret_cast<Init>(::dlsym(RTLD_DEFAULT, "FcInit"));
    try {
        thread_ = std::thread([this, readConfiguration] {
#ifdef KELVANE_SESSION_BUS
            QDBusConnection::sessionBus();
#endif
            if (readConfiguration) readConfiguration();
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return step_ != Step::waiting; });
            if (step_ != Step::toolkitStarted) return;
            lock.unlock();
            QFontDatabase::families();
        });
    } catch (const std::system_error&) {
        // No thread to be had: the toolkit does it all itself, as it would.
    }
}

ToolkitWarmUp::~ToolkitWarmUp() { finish(); }

void ToolkitWarmUp::toolkitStarted() {
    std::lock_guard lock(mutex_);
    if (step_ == Step::waiting) step_ = Step::toolkitStarted;
    changed_.notify_all();
}

void ToolkitWarmUp::finish() {
    if (waitingForToolkit == this) waitingForToolkit = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (step_ == Step::waiting) step_ = Step::finishing;
        changed_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
}

} // namespace kelvane
