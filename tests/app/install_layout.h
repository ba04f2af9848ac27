// Install folders of the real updater for the tests that run its executables: the updater, its
// package ".\RV7.vpk" (a UTF-16 "dlgconfig.conf" and the sample skin, as the demo uses them, and
// the swap program, packed with vpk), and a stand-in game.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "scratch.h"

namespace test_support {

// Lays out a complete install in folder (created if need be), with the stand-in game (the program
// `game` of the build) as "game.exe"; without its "dlgconfig.conf" when with_config is false.
// extra_config lines ("key=value\r\n") are added to the configuration.
void LayOutInstall(const std::filesystem::path& folder, const std::string& list_url,
                   bool with_config = true, const std::string& extra_config = "",
                   const std::string& game = "sample_game");

// Every file below folder (relative name) with its bytes.
using Snapshot = std::map<std::string, std::string>;
Snapshot Take(const std::filesystem::path& folder);

// A shell command run in the background in a folder, with no input, at most `seconds` long; its
// output and exit status are kept beside the folder. One still running when the object goes is
// ended.
class Background {
 public:
  Background(const std::filesystem::path& folder, const std::string& command, int seconds = 120);
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;
  // The exit status, or -1 when the command has not ended within `seconds`.
  int Wait(int seconds = 20) const;
  std::string Out() const { return ReadFile(base_ + ".out"); }
  std::string Err() const { return ReadFile(base_ + ".err"); }
  std::string Output() const { return Out() + Err(); }  // for failure messages

 private:
  bool Ended() const { return ReadFile(base_ + ".status").find('\n') != std::string::npos; }

  std::string base_;
};

struct ProcessResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs command in folder and waits for it (at most `seconds` long).
ProcessResult RunIn(const std::filesystem::path& folder, const std::string& command,
                    int seconds = 60);

}  // namespace test_support
