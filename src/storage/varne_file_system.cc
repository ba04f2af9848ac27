#include "storage/varne_file_system.h"

#include <ctime>
#include <memory>
#include <vector>

#include "base/exception.h"
#include "platform/file.h"
#include "platform/text.h"
#include "res/historical_messages.h"
#include "storage/byte_stream.h"
#include "storage/package_key.h"
#include "storage/varne_file.h"

namespace {

std::tstring PackageMessage(const char* format, const std::tstring& path) {
  return std::tstring::FormatNew(format, path.c_str());
}

[[noreturn]] void Fail(const std::tstring& text) { throw VarneFileSystemException(text, true); }

// Reads a package's header and records for ReadPackage. Every offset and size a record claims is
// checked against the package's length before anything is allocated or read, so a damaged package
// fails with the read error instead of reading outside it.
class PackageReader {
 public:
  PackageReader(const std::tstring& path, ByteStream& stream) : path_(path), stream_(stream) {}

  // Checks the header; returns the number of records.
  std::uint64_t Start() {
    length_ = stream_.Size();
    if (length_ < kPackageHeaderSize) {
      Fail(PackageMessage("Package File \"%s\" cannot open.(header error)", path_));
    }
    std::uint8_t bytes[kPackageHeaderSize];
    ReadAt(0, bytes, sizeof bytes);
    const PackageHeader header = PackageHeader::Decode(bytes);
    if (!header.magic_ok) Fail(PackageMessage(kPackageReadinError, path_));
    if (header.fileSize != length_)
      Fail(PackageMessage("Package File \"%s\" file size error.", path_));
    if (header.entryCount > (length_ - kPackageHeaderSize) / kPackageRecordSize) ReadError();
    directory_stream_.SetPosition(DirectorySeed(GetPackageKey(), header.headerSeed), 0);
    return header.entryCount;
  }

  WPACKAGE_INFO_CELL NextRecord(std::uint64_t index) {
    std::uint8_t bytes[kPackageRecordSize];
    ReadAt(kPackageHeaderSize + index * kPackageRecordSize, bytes, sizeof bytes);
    directory_stream_.Apply(bytes, sizeof bytes);
    const WPACKAGE_INFO_CELL record = WPACKAGE_INFO_CELL::Decode(bytes);
    if (!Inside(record.nameOffset, record.nameLength) ||
        !Inside(record.dataOffset, record.storedSize) || record.sourceSize > record.storedSize) {
      ReadError();
    }
    return record;
  }

  // The record's name as a key.
  std::tstring Name(const WPACKAGE_INFO_CELL& record) {
    std::vector<std::uint8_t> buffer(record.nameLength);
    ReadAt(record.nameOffset, buffer.data(), buffer.size());
    if (record.IsScrambled()) KeyStream(NameSeed(record)).Apply(buffer.data(), buffer.size());
    return VarneFileSystem::StoredName(buffer.data(), buffer.size());
  }

 private:
  bool Inside(std::uint64_t offset, std::uint64_t size) const {
    return offset <= length_ && size <= length_ - offset;
  }
  void ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t count) {
    if (stream_.ReadAt(offset, buffer, count) != static_cast<std::int64_t>(count)) ReadError();
  }
  [[noreturn]] void ReadError() { Fail(PackageMessage("Package File \"%s\" read error.", path_)); }

  const std::tstring& path_;
  ByteStream& stream_;
  std::uint64_t length_ = 0;
  KeyStream directory_stream_;
};

}  // namespace

VarneFileSystem::VarneFileSystem() {
  CriticalSectionLock hold(lock_);
  generator_.Seed(static_cast<std::uint32_t>(std::time(nullptr)));
}

std::tstring VarneFileSystem::StoredName(const std::uint8_t* bytes, std::size_t length) {
  std::u16string wide;
  for (std::size_t i = 0; i < length; i += 2) {
    // A last odd byte stands alone, as if a zero byte followed it.
    const auto unit = static_cast<char16_t>(bytes[i] | (i + 1 < length ? bytes[i + 1] << 8 : 0));
    if (unit == 0) break;
    wide += unit;
  }
  return NormalizeName(platform::WideToAnsi(wide));
}

std::tstring VarneFileSystem::NormalizeName(const std::tstring& name) {
  std::tstring key(name);
  key.ToBackslashes();
  key.ToLower();
  return key;
}

void VarneFileSystem::ReadPackage(const std::tstring& path) {
  CriticalSectionLock hold(lock_);
  std::tstring package_path(path);
  package_path.ToBackslashes();
  FileStream stream;
  if (!stream.Open(package_path, platform::Share::kReadWrite)) {
    Fail(PackageMessage(kPackageCannotOpen, package_path));
  }
  Merge(package_path, stream, nullptr);
}

void VarneFileSystem::ReadPackage(const std::tstring& path,
                                  std::shared_ptr<const std::string> bytes) {
  CriticalSectionLock hold(lock_);
  std::tstring package_path(path);
  package_path.ToBackslashes();
  MemoryStream stream(bytes);
  Merge(package_path, stream, bytes);
}

void VarneFileSystem::Merge(const std::tstring& package_path, ByteStream& stream,
                            const std::shared_ptr<const std::string>& bytes) {
  PackageReader reader(package_path, stream);
  const std::uint64_t count = reader.Start();
  for (std::uint64_t index = 0; index < count; ++index) {
    const WPACKAGE_INFO_CELL record = reader.NextRecord(index);
    FileInfoCellEx& entry = directory_[reader.Name(record)];
    static_cast<WPACKAGE_INFO_CELL&>(entry) = record;
    entry.inPackage = true;
    entry.containerPath = package_path;
    entry.packageBytes = bytes;
  }
}

IFile* VarneFileSystem::OpenFile(const std::tstring& name) {
  CriticalSectionLock hold(lock_);
  const std::tstring key = NormalizeName(name);
  if (directory_.find(key) == directory_.end()) {
    Fail(std::tstring::FormatNew("no file in this package.file : %s", key.c_str()));
  }
  auto file = std::make_unique<VarneFile>(this);
  file->Open(name.c_str(), kOpenBinaryReadOnly);
  return file.release();
}

int VarneFileSystem::CloseFile(IFile* file) {
  CriticalSectionLock hold(lock_);
  delete file;
  return 0;
}

const FileFindInfo* VarneFileSystem::Report(Directory::const_iterator it) {
  if (it == directory_.end()) {
    cursor_.reset();
    return nullptr;
  }
  cursor_ = it->first;
  find_info_.inPackage = it->second.inPackage;
  find_info_.containerPath = it->second.containerPath;
  find_info_.name = it->first;
  find_info_.size = it->second.sourceSize;
  return &find_info_;
}

const FileFindInfo* VarneFileSystem::FindFirst() {
  CriticalSectionLock hold(lock_);
  return Report(directory_.begin());
}

// The cursor is a key rather than an iterator, so entries removed meanwhile cannot invalidate it.
const FileFindInfo* VarneFileSystem::FindNext() {
  CriticalSectionLock hold(lock_);
  if (!cursor_) return nullptr;
  return Report(directory_.upper_bound(*cursor_));
}

void VarneFileSystem::Clear() {
  CriticalSectionLock hold(lock_);
  directory_.clear();
  cursor_.reset();
}

int VarneFileSystem::RemoveFile(const std::tstring& name) {
  CriticalSectionLock hold(lock_);
  directory_.erase(NormalizeName(name));
  return 0;
}

bool VarneFileSystem::LookupEntry(const std::tstring& name, FileInfoCellEx* entry) {
  CriticalSectionLock hold(lock_);
  const auto it = directory_.find(NormalizeName(name));
  if (it == directory_.end()) return false;
  *entry = it->second;
  return true;
}
