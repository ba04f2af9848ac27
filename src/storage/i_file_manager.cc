#include "storage/i_file_manager.h"

#include <algorithm>

#include "base/exception.h"
#include "platform/file.h"
#include "platform/path.h"
#include "storage/block_pipeline.h"

void IFileManager::ExtractToFile(FileHandle handle, const std::tstring& destination) {
  Extract(handle, destination, nullptr, nullptr);
}

bool IFileManager::ExtractChecked(FileHandle handle, const std::tstring& destination,
                                  const ExpectedContent& expected,
                                  platform::ReplacementBatch* batch) {
  return Extract(handle, destination, &expected, batch);
}

bool IFileManager::Extract(FileHandle handle, const std::tstring& destination,
                           const ExpectedContent* expected, platform::ReplacementBatch* batch) {
  std::tstring internal(destination);
  internal.ToBackslashes();
  const std::tstring path = platform::GetFullPath(internal);
  const std::uint64_t size = GetSize(handle);
  if (size == ~std::uint64_t{0}) throw IFileManagerException("File lock error.");
  if (expected && expected->size && *expected->size != size) return false;
  platform::ReplacementFile replacement;
  if (!replacement.Create(path)) {
    throw IFileManagerException("File Create (Open) Error. : " + path);
  }
  // The MD5, which cannot be split, has the stage's worker to itself; the next block is read,
  // unscrambled and written here meanwhile, with a signed file's second digest beside the writing.
  MD5Context md5;
  platform::Sha256 sha256;
  const bool signed_content = expected && expected->sha256;
  SideStage digest([&](const std::uint8_t* data, std::size_t count) { md5.Update(data, count); });
  digest.SetThreaded(expected && (size >= kPipelineThreadedSize || signed_content));
  for (std::uint64_t left = size; left > 0;) {
    std::uint8_t* block = digest.Next();
    const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, kPipelineBlockSize));
    std::uint32_t got = 0;
    if (Read(handle, block, want, &got) < 0 || got == 0) {
      throw IFileManagerException("File lock error.");
    }
    if (expected) digest.Submit(got);
    if (replacement.Write(block, got) != got) {
      throw Caused(IFileManagerException("File write error. : " + path), ErrorCause::kDisk);
    }
    if (signed_content) sha256.Update(block, got);
    left -= got;
  }
  digest.Finish();
  // Without a commit the replacement removes what it wrote.
  if (expected && md5.Final() != expected->md5) return false;
  if (signed_content && sha256.Final() != *expected->sha256) return false;
  if (batch != nullptr) {
    batch->Add(std::move(replacement));
  } else if (!replacement.Commit()) {
    throw IFileManagerException("File replace error. : " + path);
  }
  return true;
}

void IFileManager::CommitBatch(platform::ReplacementBatch& batch) {
  std::string failed;
  if (!batch.Commit(failed)) {
    throw IFileManagerException("File replace error. : " + platform::ToInternalPath(failed));
  }
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
  // From the top down, so that each folder's parent exists when it is looked at: climbing from the
  // bottom would look up every missing folder above again for each one, which is quadratic in
  // the depth. The root always exists.
  for (std::size_t end = folder.find('\\', 1); end != std::tstring::npos;
       end = folder.find('\\', end + 1)) {
    const std::tstring prefix = folder.substr(0, end + 1);
    if (PathIsExist(prefix)) continue;
    if (!platform::MakeDirectory(prefix) && !PathIsExist(prefix)) {
      throw IFileManagerException("CreateDirectory Error : " + prefix);
    }
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
