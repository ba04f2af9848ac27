// What a release hands its players in its own game package ("RV7.VPK"): the dialog settings that
// name the server the updater asks, the skin, the game it starts and the keys an install trusts
// after the update. Checked against the site being built, so that a slip that would strand every
// player is seen before anything is published.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "site_signer.h"

class VarneFileSystem;

struct PackageExpectations {
  std::string listen;       // the site's --listen, "host:port"
  std::string list_path;    // the site's --path
  const SigningPlan* plan;  // null for an unsigned build
};

// Checks the image's game package, when it has one. Throws Exception for what every player would
// fail on: no settings, settings that read as empty, a key in an unsigned build, and keys the
// signing does not vouch for (on a site with a root exactly the root's keys, a change of keys being
// a root rotation first; without, keys whose threshold the plan's keys reach). Returns warnings
// for what only a server in front of the site could make right: a serverside_url of another port
// or path, and a runfilename or main_image that the release does not hold.
std::vector<std::string> CheckReleasePackage(const std::string& image,
                                             const PackageExpectations& expected);

// The game package at the top of the image, under any case of its name; none when it has none.
std::optional<std::filesystem::path> GamePackage(const std::string& image);
// A settings-sized entry of a package (at most 1 MiB), read whole. Throws Exception.
std::vector<unsigned char> ReadEntry(VarneFileSystem& system, const char* name);
