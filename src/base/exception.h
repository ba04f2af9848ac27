// The system's exception family. Every failure carries a message and an error mark (true for
// errors, false for warnings and expected interruptions such as an abort). Each class that can fail
// has its own exception class that puts "<Class> : " before the message. Throw by value; catch by
// reference to Exception only.
//
// A failure may also carry its cause (the network, the disk, ...), set where it is raised, so that
// the box that shows it can say what the player can do; copies keep it.
#pragma once

#include <utility>

#include "base/tstring.h"
#include "res/error_causes.h"

class Exception {
 public:
  Exception(const std::tstring& text, bool error) : text_(text), error_(error) {}
  virtual ~Exception() = default;
  Exception(const Exception&) = default;
  Exception& operator=(const Exception&) = default;

  virtual std::tstring GetText() const { return text_; }
  virtual bool IsError() const { return error_; }

  ErrorCause Cause() const { return cause_; }
  const CauseSubjects& Subjects() const { return subjects_; }
  void SetCause(ErrorCause cause, CauseSubjects subjects = {}) {
    cause_ = cause;
    subjects_ = std::move(subjects);
  }

 private:
  std::tstring text_;
  bool error_;
  ErrorCause cause_ = ErrorCause::kUnknown;
  CauseSubjects subjects_;
};

// failure, of its own class still, with the cause set: for `throw Caused(XException(...), ...)`.
template <typename Failure>
Failure Caused(Failure failure, ErrorCause cause, CauseSubjects subjects = {}) {
  failure.SetCause(cause, std::move(subjects));
  return failure;
}

// Runs read, a read of one of the updater's own files (name): its failure, whatever the reader's
// own cause, is a damaged or missing install.
template <typename Read>
decltype(auto) ReadingOwnFile(const std::tstring& name, Read read) {
  try {
    return read();
  } catch (const Exception& failure) {
    throw Caused(Exception(failure), ErrorCause::kInstall, {name, {}});
  }
}

// The paragraph of failure's cause that follows its text in an error box (empty: none).
inline std::string CauseParagraphOf(const Exception& failure) {
  return CauseParagraph(failure.Cause(), failure.Subjects());
}

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
