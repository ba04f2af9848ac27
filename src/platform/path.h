// Paths inside the system are written as on Windows: backslash separators, an absolute POSIX path
// such as /opt/game written \opt\game. These functions translate at the boundary to the system.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace platform {

// A system path ("/opt/game/RV7.VPK") in the internal form ("\opt\game\RV7.VPK").
std::string ToInternalPath(std::string_view native);

// An internal path in the form the system's calls take.
std::string ToNativePath(std::string_view internal);

// A std::filesystem::path of a system path in narrow text, and the other way. libstdc++ on Windows
// reads narrow text as Latin-1 whatever the code page, so a path that may hold any name goes
// through these two rather than through path's own narrow constructor and string().
std::filesystem::path ToFilesystemPath(std::string_view native);
std::string FilesystemPathText(const std::filesystem::path& path);

}  // namespace platform
