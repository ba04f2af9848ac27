// The work behind each vpk command. Paths are as the user typed them (the system's own form).
// Each returns the exit status (0 done, 1 the work failed); failures of the package system are
// raised as the system's Exception and reported by the caller. Pack, Extract and Verify show
// their progress on standard error as `progress` says.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "base/progress_line.h"

namespace vpk {

int Pack(const std::string& folder, const std::string& package, bool plain, bool follow_links,
         ProgressOutput progress);
// One line per entry in key order: name, size, "scrambled" or "plain", MD5 (tab-separated).
int List(const std::string& package, std::FILE* out);
// Every entry, or the named ones, below folder. Refuses, before writing anything, names that would
// leave the folder.
int Extract(const std::string& package, const std::string& folder,
            const std::vector<std::string>& names, ProgressOutput progress);
int Cat(const std::string& package, const std::string& name, std::FILE* out);
// Prints the entries whose data no longer match their stored digest; 1 if there are any.
int Verify(const std::string& package, std::FILE* out, ProgressOutput progress);

}  // namespace vpk
