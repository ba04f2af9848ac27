// The system's exception family. Every failure carries a message and an error mark (true for
// errors, false for warnings and expected interruptions such as an abort). Each class that can fail
// has its own exception class that puts "<Class> : " before the message. Throw by value; catch by
// reference to Exception only.
#pragma once

#include "base/tstring.h"

class Exception {
 public:
  Exception(const std::tstring& text, bool error) : text_(text), error_(error) {}
  virtual ~Exception() = default;
  Exception(const Exception&) = default;
  Exception& operator=(const Exception&) = default;

  virtual std::tstring GetText() const { return text_; }
  virtual bool IsError() const { return error_; }

 private:
  std::tstring text_;
  bool error_;
};

// An empty text becomes "runtime exception.".
class RuntimeException : public Exception {
 public:
  RuntimeException(const std::tstring& text, bool error);
};

// A per-class exception whose error mark is the caller's choice.
#define VARNE_EXCEPTION_WITH_MARK(Name, Base, Prefix)                                        \
  class Name : public Base {                                                                 \
   public:                                                                                   \
    Name(const std::tstring& text, bool error) : Base(std::tstring(Prefix) + text, error) {} \
  }

// A per-class exception whose error mark is always set.
#define VARNE_EXCEPTION_ALWAYS_ERROR(Name, Base, Prefix)                                 \
  class Name : public Base {                                                             \
   public:                                                                               \
    explicit Name(const std::tstring& text) : Base(std::tstring(Prefix) + text, true) {} \
  }

VARNE_EXCEPTION_WITH_MARK(DownloadManagerException, RuntimeException, "DownloadManager : ");
VARNE_EXCEPTION_WITH_MARK(VarneFileManagerException, RuntimeException, "VarneFileManager : ");
VARNE_EXCEPTION_WITH_MARK(HttpClientException, RuntimeException, "HttpClient : ");
VARNE_EXCEPTION_WITH_MARK(IFileException, RuntimeException, "IFile : ");
VARNE_EXCEPTION_WITH_MARK(VarneFileSystemException, RuntimeException, "VarneFileSystem : ");
VARNE_EXCEPTION_WITH_MARK(VarneFileException, RuntimeException, "VarneFile : ");
VARNE_EXCEPTION_WITH_MARK(WinsockBaseException, RuntimeException, "WinsockBase : ");
VARNE_EXCEPTION_ALWAYS_ERROR(IFileManagerException, RuntimeException, "IFileManager : ");
VARNE_EXCEPTION_ALWAYS_ERROR(ConfigBaseException, RuntimeException, "ConfigBase : ");
VARNE_EXCEPTION_ALWAYS_ERROR(utf8stringException, RuntimeException, "utf8string : ");
VARNE_EXCEPTION_ALWAYS_ERROR(SingletonManagerException, RuntimeException, "SingletonManager : ");
VARNE_EXCEPTION_ALWAYS_ERROR(DibSectionException, RuntimeException, "DibSection : ");
VARNE_EXCEPTION_ALWAYS_ERROR(BinaryDataException, RuntimeException, "BinaryData : ");
VARNE_EXCEPTION_ALWAYS_ERROR(DibBmpLoaderException, RuntimeException, "DibBmpLoader : ");
// IFileException puts "IFile : " in front of "DefaultFile : ".
VARNE_EXCEPTION_ALWAYS_ERROR(DefaultFileException, IFileException, "DefaultFile : ");

#undef VARNE_EXCEPTION_WITH_MARK
#undef VARNE_EXCEPTION_ALWAYS_ERROR
