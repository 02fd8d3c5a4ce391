// The model's Wi-Fi requests: switching a phone to Wi-Fi, connecting and
// pairing by address.
#include "DiagnosticsViewModel.h"

namespace kelvane {

void DiagnosticsViewModel::connectWireless(Wireless::Request request,
                                           std::function<void(const Wireless::Outcome&)> done) {
    auto self = shared_from_this();
    onUIThread([self, request = std::move(request), done = std::move(done)]() mutable {
        const std::optional<std::string> adb = self->snapshot_.adbPath;
        auto finished = self->beginOperation({});
        self->services_.inBackground([self, adb, request = std::move(request), done = std::move(done), finished] {
            Wireless::Outcome outcome = Wireless::withoutADB();
            if (adb) {
                outcome = Wireless::carryOut(request, [&](const std::vector<std::string>& arguments) {
                    return self->services_.run(*adb, arguments, DiagnosticsService::diagnosticsCommandTimeout);
                });
                self->services_.appendLog(Wireless::logEntry(outcome));
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
