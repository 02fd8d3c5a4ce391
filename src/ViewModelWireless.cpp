// The model's Wi-Fi requests: switching a phone to Wi-Fi, connecting and
// pairing by address.
#include "DiagnosticsViewModel.h"

namespace kelvane {
namespace {

// The activity log's entry for a request: its outcome, then its commands.
std::string wirelessEntry(const Wireless::Outcome& outcome) {
    std::string entry = "Wi-Fi: " + outcome.message;
    if (!outcome.transcript.empty()) entry += "\n" + outcome.transcript;
    while (!entry.empty() && entry.back() == '\n') entry.pop_back();
    return entry;
}

} // namespace

void DiagnosticsViewModel::connectWireless(Wireless::Request request,
                                           std::function<void(const Wireless::Outcome&)> done) {
    auto self = shared_from_this();
    onUIThread([self, request = std::move(request), done = std::move(done)]() mutable {
        const std::optional<std::string> adb = self->snapshot_.adbPath;
        auto finished = self->beginOperation({});
        self->services_.inBackground([self, adb, request = std::move(request), done = std::move(done), finished] {
            Wireless::Outcome outcome;
            if (!adb) {
                outcome.failure = Wireless::Failure::adbMissing;
                outcome.message = Wireless::failureMessage(outcome.failure, request.target, "");
            } else {
                outcome = Wireless::carryOut(request, [&](const std::vector<std::string>& arguments) {
                    return self->services_.run(*adb, arguments, DiagnosticsService::diagnosticsCommandTimeout);
                });
                self->services_.appendLog(wirelessEntry(outcome));
            }
            self->services_.onUIThread([self, outcome = std::move(outcome), done, finished] {
                const auto tell = [self, outcome, done, finished] {
                    self->assign(Property::statusMessage, self->statusMessage_, std::optional(outcome.message));
                    if (done) done(outcome);
                    finished();
                };
                if (!outcome.serial) return tell();
                // The new network device, listed by a pass and chosen.
                self->refresh([self, serial = *outcome.serial, tell] {
                    const std::vector<AndroidDevice> authorized = self->snapshot_.authorizedDevices();
                    if (std::any_of(authorized.begin(), authorized.end(),
                                    [&](const AndroidDevice& device) { return device.id() == serial; })) {
                        self->setSelectedDeviceID(serial);
                    }
                    tell();
                });
            });
        });
    });
}

void DiagnosticsViewModel::checkPairing(std::function<void(bool)> told) {
    auto self = shared_from_this();
    const std::optional<std::string> adb = snapshot_.adbPath;
    if (!adb) return onUIThread([told] { told(false); });
    services_.inBackground([self, adb, told] {
        const bool can = Wireless::canPair(
            self->services_.run(*adb, {"version"}, DiagnosticsService::diagnosticsCommandTimeout).output);
        self->services_.onUIThread([told, can] { told(can); });
    });
}

} // namespace kelvane
