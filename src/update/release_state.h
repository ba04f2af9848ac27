// What an install remembers of the signed releases it accepted, so that a mirror cannot hand it an
// older signed release again.
#pragma once

#include <cstdint>

// The small file of the install folder that holds it ("RV7.state").
extern const char kReleaseStateName[];

// The serial of the last release this install accepted; 0 when the file is not there. A file that
// is there but does not read exactly as RecordInstalledSerial writes it (damaged, cut short,
// edited) throws DownloadManagerException: read as 0, it would let any older release back in.
std::uint64_t InstalledSerial();

// Replaces the file in one step, so that a crash leaves the old serial or the new one; false on
// failure.
bool RecordInstalledSerial(std::uint64_t serial);
