// Message texts that keep their historical spellings ("worning", "Worng", "respons", "invalied",
// "readin", "Syetem", "swaper"): logs, support answers and scripts search for them exactly as they
// are. Do not correct them. Every such text of the system is here, and only such texts.
#pragma once

// Network layer.
inline constexpr char kWrongWinsockVersion[] = "[worning] Worng Winsock Version.";
// Followed by the status line that was received.
inline constexpr char kResponseIsNotHttp[] = "respons is not HTTP : ";
inline constexpr char kContentLengthInvalid[] =
    "HTTP header error : Content-Length is invalied value.";

// Storage layer. A printf format: "%s" takes the package's path.
inline constexpr char kPackageReadinError[] = "Package File \"%s\" file readin error.";
inline constexpr char kFileSystemPointerError[] = "File-Syetem Pointer Error.";

// The dialog: the swap program cannot be taken out of the game's package.
inline constexpr char kSwapperLoadError[] = "Data-swaper load error.";
