// Message texts of the storage layer that keep their historical spellings ("readin", "Syetem"):
// logs, support answers and scripts search for them exactly as they are. Do not correct them.
// Every such text of this layer is here.
#pragma once

// A printf format: "%s" takes the package's path.
inline constexpr char kPackageReadinError[] = "Package File \"%s\" file readin error.";
inline constexpr char kFileSystemPointerError[] = "File-Syetem Pointer Error.";
