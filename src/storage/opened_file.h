// A file opened through a file manager, owned for a scope: it is closed once on every way out, so
// no failure leaves a handle behind. Not copyable; one thread uses it.
#pragma once

#include "storage/i_file_manager.h"

class OpenedFile {
 public:
  // Opens name; check with the bool conversion whether a file was opened.
  OpenedFile(IFileManager& files, const char* name, int mode)
      : files_(files), handle_(files.Open(name, mode)) {}
  ~OpenedFile() {
    if (handle_ != 0) files_.Close(handle_);
  }
  OpenedFile(const OpenedFile&) = delete;
  OpenedFile& operator=(const OpenedFile&) = delete;

  explicit operator bool() const { return handle_ != 0; }
  FileHandle handle() const { return handle_; }

 private:
  IFileManager& files_;
  const FileHandle handle_;
};
