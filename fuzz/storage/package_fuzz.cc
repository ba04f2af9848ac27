// Reads arbitrary bytes as a package (from memory), then opens every entry that made it into the
// directory and reads it whole, in pieces and after seeks. Failures must be the system's
// exceptions; no read may leave the file or allocate more than the file could hold.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/exception.h"
#include "storage/varne_file_system.h"

namespace {

void ReadEntry(VarneFileSystem& system, const std::tstring& name, std::uint64_t limit) {
  IFile* file = system.OpenFile(name);
  try {
    if (file->GetSize() > limit) __builtin_trap();  // an entry larger than its package
    std::vector<std::uint8_t> buffer(4096);
    std::uint32_t got = 0;
    while (file->Read(buffer.data(), 1 + static_cast<std::uint32_t>(file->Tell() % 4095), &got) ==
               0 &&
           got > 0) {
    }
    file->Seek(-static_cast<std::int64_t>(file->GetSize() / 2), 2);
    file->Read(buffer.data(), static_cast<std::uint32_t>(buffer.size()), &got);
  } catch (const Exception&) {
  }
  system.CloseFile(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  VarneFileSystem system;
  try {
    system.ReadPackage(
        "fuzz.vpk", std::make_shared<const std::string>(reinterpret_cast<const char*>(data), size));
  } catch (const Exception&) {
    // Entries merged before the failure stay and are read below.
  }
  std::vector<std::tstring> names;
  for (const FileFindInfo* info = system.FindFirst(); info; info = system.FindNext()) {
    names.push_back(info->name);
  }
  for (const std::tstring& name : names) {
    try {
      ReadEntry(system, name, size);
    } catch (const Exception&) {
    }
  }
  return 0;
}
