// The checklist: judging a diagnostics pass into its four rows, and every
// advice text they give.
#pragma once

#include "Models.h"

#include <optional>
#include <string>
#include <vector>

namespace kelvane::DiagnosticsService {

// The four checklist rows for `snapshot`.
std::vector<CheckItem> makeChecks(const DiagnosticsSnapshot& snapshot);

// Whether a mirror could start: both tools found and at least one
// authorized device.
bool canStartMirror(const DiagnosticsSnapshot& snapshot);

// `snapshot` with its Lingguang finding and checklist judged for the device
// `serial` (none: the snapshot's own choice) instead of the pass's choice.
DiagnosticsSnapshot judgedFor(DiagnosticsSnapshot snapshot, const std::optional<std::string>& serial);

// `snapshot` as it stands once a server of adb's `version`, not this adb's
// `ownVersion`, holds adb's port (held by `holder`, where known): its ADB
// row warns of the two versions.
DiagnosticsSnapshot withOtherServer(DiagnosticsSnapshot snapshot, int version, int ownVersion,
                                    std::optional<PortHolder> holder);

} // namespace kelvane::DiagnosticsService
