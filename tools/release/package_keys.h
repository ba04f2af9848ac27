// Names a root's keys in the release's own game package, so that a rotation needs no repacking by
// hand: the "serverside_publickey" line of the "dlgconfig.conf" in the image's "RV7.VPK".
#pragma once

#include <string>

#include "site/release_signature.h"

// Writes KeySetText(keys) as the package's serverside_publickey: the line that names it is
// replaced (every such line, as the last would win), or one is added at the end, in the settings'
// own encoding (UTF-16 in its byte order, or UTF-8); every other byte of them stays. The package is
// written anew beside itself, every other entry as it was, and renamed over it. Returns false when
// the settings named those keys already (nothing is written). Throws Exception when the image
// has no package, or it or its settings cannot be read or written.
bool WritePackagedKeys(const std::string& image, const KeySet& keys);
