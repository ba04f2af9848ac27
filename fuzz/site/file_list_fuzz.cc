// Feeds arbitrary bytes to the file list reader as a list document arrives from a server: UTF-8
// conversion, then parsing. Whatever is accepted must be safe to act on.
#include <cstdint>
#include <cstdlib>

#include "base/exception.h"
#include "base/relative_path.h"
#include "base/utf8string.h"
#include "site/file_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  FileList list;
  try {
    utf8string document;
    document.SetUtf8Data(data, static_cast<std::uint32_t>(size));
    ParseFileList(document.GetString(), list);
  } catch (const Exception&) {
    if (!list.empty()) std::abort();  // a refused list adds nothing
    return 0;
  }
  for (const FileEntry& entry : list) {
    if (entry.path.empty() || entry.orgsize.empty() || entry.md5.empty()) std::abort();
    if (!IsSafeRelativePath(entry.path)) std::abort();
  }
  return 0;
}
