// Install folders of the real updater for the tests that run its executables: the updater, its
// package ".\RV7.vpk" (a UTF-16 "dlgconfig.conf" and the sample skin, as the demo uses them, and
// the swap program, packed with vpk), and a stand-in game.
#pragma once

#include <filesystem>
#include <string>

#include "scratch.h"

namespace test_support {

// Lays out a complete install of the build under test in folder (created if need be), with the
// stand-in game (its program `game`) as "game.exe". extra_config lines ("key=value\r\n") are added
// to the configuration.
void LayOutInstall(const std::filesystem::path& folder, const std::string& list_url,
                   const std::string& extra_config = "", const std::string& game = "sample_game");

}  // namespace test_support
