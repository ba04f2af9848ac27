// The keys a release hands its players: the game package ("RV7.VPK") carries the dialog settings
// whose serverside_publickey an install trusts after the update. A release that names keys its
// site does not sign with would lock every player who installs it out of the releases after it.
#pragma once

#include <string>

#include "site_signer.h"

// Checks the image's game package, when it has one, against the plan: on a site with a root it
// must name exactly the root's keys (a change of keys is a root rotation first); without, keys
// whose threshold the plan's keys reach. Throws Exception otherwise, and when it cannot be read.
void CheckPackagedKeys(const std::string& image, const SigningPlan& plan);
