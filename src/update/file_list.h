// The release's file list: one line per file, five ":"-separated fields (a non-empty marker, an
// unused field, the path relative to the install folder, the size text sent back to the server, the
// expected MD5 digest text, which is the rest of the line).
#pragma once

#include <cstdint>
#include <optional>
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
// nothing; so do two paths of one file on Windows, which would replace each other's file there
// and be fetched again on every run ("List file error(names differ only in case) : A, a").
void ParseFileList(std::tstring text, FileList& list);

// The listed file's size in bytes: its size field as a number when the field is decimal digits,
// at most 19 of them, so that every accepted field fits 64 bits (the builder writes sizes so, and
// no file is as large as a 20-digit size). Nothing for any other text.
std::optional<std::uint64_t> OrgSizeOf(const FileEntry& entry);
