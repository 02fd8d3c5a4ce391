// Which of the lists a device follower tells need a pass: the latest, unless
// a pass has already seen it. The window and kelvane-doctor --watch decide
// alike.
#pragma once

#include "Models.h"

#include <optional>
#include <utility>
#include <vector>

namespace kelvane {

class ListFollowUp {
public:
    // `shown`: the list the pass before the following found.
    explicit ListFollowUp(std::optional<std::vector<AndroidDevice>> shown = std::nullopt) : seen_(std::move(shown)) {}

    void told(std::vector<AndroidDevice> list) { latest_ = std::move(list); }

    // Whether the latest list needs a pass; if it does, it counts as seen.
    bool takeChange() {
        if (!latest_ || latest_ == seen_) return false;
        seen_ = latest_;
        return true;
    }

    // A pass found `devices`: where that is the latest list, a change told
    // during the pass needs no pass of its own.
    void passFound(const std::vector<AndroidDevice>& devices) {
        if (latest_ == devices) seen_ = devices;
    }

    // What was told is void (the server is no longer this adb's): the next
    // list needs a pass, even one like a list seen.
    void forget() {
        latest_.reset();
        seen_.reset();
    }

private:
    std::optional<std::vector<AndroidDevice>> latest_;
    std::optional<std::vector<AndroidDevice>> seen_;
};

} // namespace kelvane
