// What an install remembers of the signed releases it accepted: the serial of the last one, so that
// a mirror cannot hand it an older signed release again, and the trust root it follows.
#pragma once

#include <cstdint>
#include <optional>

#include "site/trust_root.h"

// The small file of the install folder that holds it ("RV7.state").
extern const char kReleaseStateName[];

struct InstallState {
  std::uint64_t serial = 0;
  std::optional<TrustRoot> root;  // none before the first signed release

  bool operator==(const InstallState&) const = default;
};

// The install's state; nothing remembered when the file is not there. A file that is there but
// does not read exactly as RecordInstallState writes it (damaged, cut short, edited) throws
// DownloadManagerException: read as nothing, it would let any older release, or any key, back in.
InstallState ReadInstallState();

// Replaces the file in one step, so that a crash leaves the old state or the new one; false on
// failure.
bool RecordInstallState(const InstallState& state);
