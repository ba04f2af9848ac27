#include "storage/i_file_manager.h"

#include <algorithm>
#include <memory>

#include "base/exception.h"
#include "platform/file.h"

namespace {

constexpr std::uint32_t kBlockSize = 256 * 1024;

// Removes the temporary file unless it was put in place.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::tstring& destination) {
    if (!file_.CreateTemporaryNear(destination, &path_)) {
      throw IFileManagerException("File Create (Open) Error. : " + destination);
    }
  }
  ~TemporaryFile() {
    file_.Close();
    if (!kept_) platform::RemoveFile(path_);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  platform::File& File() { return file_; }
  void ReplaceDestination(const std::tstring& destination) {
    file_.Close();
    if (!platform::ReplaceFile(path_, destination)) {
      throw IFileManagerException("File replace error. : " + destination);
    }
    kept_ = true;
  }

 private:
  platform::File file_;
  std::string path_;
  bool kept_ = false;
};

}  // namespace

void IFileManager::ExtractToFile(FileHandle handle, const std::tstring& destination) {
  std::tstring internal(destination);
  internal.ToBackslashes();
  const std::tstring path = platform::GetFullPath(internal);
  TemporaryFile temporary(path);
  const std::uint64_t size = GetSize(handle);
  if (size == ~std::uint64_t{0}) throw IFileManagerException("File lock error.");
  auto buffer = std::make_unique<std::uint8_t[]>(kBlockSize);
  for (std::uint64_t left = size; left > 0;) {
    const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, kBlockSize));
    std::uint32_t got = 0;
    if (Read(handle, buffer.get(), want, &got) < 0 || got == 0) {
      throw IFileManagerException("File lock error.");
    }
    if (temporary.File().Write(buffer.get(), got) != got) {
      throw IFileManagerException("File write error. : " + path);
    }
    left -= got;
  }
  temporary.ReplaceDestination(path);
}

int IFileManager::CreateDirectory(const std::tstring& path) {
  if (path.find('\\') == std::tstring::npos) return 0;
  std::tstring folder(path);
  folder.RemoveFileSpec();
  if (folder.empty()) throw IFileManagerException("CreateDirectory Error : empty pathname.");
  folder = platform::GetFullPath(folder);
  if (folder.empty()) throw IFileManagerException("CreateDirectory Error : Path Error.");
  folder.AddBackslash();
  if (PathIsExist(folder)) return 0;
  std::tstring parent(folder);
  parent.RemoveBackslash();
  parent.RemoveFileSpec();
  parent.AddBackslash();
  // The root always exists, so the climb ends there at the latest.
  if (parent != folder) CreateDirectory(parent);
  if (!platform::MakeDirectory(folder) && !PathIsExist(folder)) {
    throw IFileManagerException("CreateDirectory Error : " + folder);
  }
  return 0;
}

bool IFileManager::PathIsExist(const std::tstring& folder_name) {
  std::tstring folder(folder_name);
  folder.ToBackslashes();
  if (folder.empty() || folder.back() != '\\') {
    throw IFileManagerException("PathIsExist Error : " + folder);
  }
  return platform::IsDirectory(folder);
}
