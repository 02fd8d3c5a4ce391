#include "FontWarmUp.h"

#include <QFontDatabase>
#include <QStringList>

#include <system_error>

#include <dlfcn.h>

namespace kelvane {

FontWarmUp::FontWarmUp() {
    // Looked up rather than linked: present exactly where the toolkit itself
    // uses fontconfig.
    using Init = int (*)();
    const auto readConfiguration = reinterpret_cast<Init>(::dlsym(RTLD_DEFAULT, "FcInit"));
    try {
        thread_ = std::thread([this, readConfiguration] {
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

FontWarmUp::~FontWarmUp() { finish(); }

void FontWarmUp::toolkitStarted() {
    std::lock_guard lock(mutex_);
    if (step_ == Step::waiting) step_ = Step::toolkitStarted;
    changed_.notify_all();
}

void FontWarmUp::finish() {
    {
        std::lock_guard lock(mutex_);
        if (step_ == Step::waiting) step_ = Step::finishing;
        changed_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
}

} // namespace kelvane
