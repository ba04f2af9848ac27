// The release's file list: one line per file, five ":"-separated fields (a non-empty marker, an
// unused field, the path relative to the install folder, the size text sent back to the server, the
// expected MD5 digest text, which is the rest of the line).
#pragma once

#include <vector>

#include "base/tstring.h"

struct FileEntry {
  std::tstring path;
  std::tstring orgsize;
  std::tstring md5;
};

using FileList = std::vector<FileEntry>;

// Appends the entries of a whole list document to list. A malformed line, or a path that
// IsSafeRelativePath refuses, throws DownloadManagerException "List file error." and appends
// nothing.
void ParseFileList(std::tstring text, FileList& list);
