// Writing the directory out as a new package.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "base/exception.h"
#include "platform/file.h"
#include "platform/text.h"
#include "storage/block_pipeline.h"
#include "storage/md5.h"
#include "storage/package_key.h"
#include "storage/varne_file_system.h"

namespace {

[[noreturn]] void Fail(const char* text) { throw VarneFileSystemException(text, true); }

// Writes one package: entries one after another from the data area on, the directory and the
// header at the end, when every record and the file's length are known.
class PackageWriter {
 public:
  PackageWriter(platform::File& file, std::uint32_t header_seed, std::uint32_t scramble,
                std::size_t entry_count, const std::function<void(std::uint64_t)>& progress)
      : file_(file),
        header_seed_(header_seed),
        scramble_(scramble),
        record_seeds_(header_seed),
        progress_(progress) {
    header_.headerSeed = header_seed;
    header_.dataAreaOffset = kPackageHeaderSize + kPackageRecordSize * entry_count;
    end_ = header_.dataAreaOffset;
    if (file_.Seek(static_cast<std::int64_t>(header_.dataAreaOffset), platform::SeekFrom::kStart) <
        0) {
      Fail("File seek error.");
    }
  }

  void AddEntry(const std::tstring& key, IFile& entry) {
    WPACKAGE_INFO_CELL record;
    const std::u16string wide = platform::AnsiToWide(key);
    record.nameLength = static_cast<std::uint32_t>(2 * wide.size());
    record.scrambled = scramble_;
    record.sourceSize = entry.GetSize();
    record.recordSeed = record_seeds_.Next();
    record.nameOffset = Position();
    WriteName(wide, record);
    record.dataOffset = Position();
    record.storedSize = WriteData(entry, record);
    end_ = Position();
    records_.push_back(record);
  }

  void Finish() {
    KeyStream directory(DirectorySeed(GetPackageKey(), header_seed_));
    std::vector<std::uint8_t> bytes(records_.size() * kPackageRecordSize);
    for (std::size_t i = 0; i < records_.size(); ++i) {
      std::uint8_t cell[kPackageRecordSize];
      records_[i].Encode(cell);
      std::memcpy(&bytes[i * kPackageRecordSize], cell, sizeof cell);
    }
    directory.Apply(bytes.data(), bytes.size());
    header_.entryCount = records_.size();
    header_.fileSize = end_;
    std::uint8_t head[kPackageHeaderSize];
    header_.Encode(head);
    if (file_.Seek(0, platform::SeekFrom::kStart) < 0) Fail("File seek error.");
    Write(head, sizeof head);
    Write(bytes.data(), bytes.size());
    if (file_.Length() != static_cast<std::int64_t>(end_)) Fail("File size get error.");
  }

  std::size_t Count() const { return records_.size(); }

 private:
  std::uint64_t Position() {
    const std::int64_t position = file_.Tell();
    if (position < 0) Fail("File seek error.");
    return static_cast<std::uint64_t>(position);
  }

  void Write(const std::uint8_t* data, std::size_t length) {
    if (file_.Write(data, length) != length) Fail("File write error.");
  }

  void WriteName(const std::u16string& wide, const WPACKAGE_INFO_CELL& record) {
    std::vector<std::uint8_t> name(record.nameLength);
    for (std::size_t i = 0; i < wide.size(); ++i) {
      name[2 * i] = static_cast<std::uint8_t>(wide[i]);
      name[2 * i + 1] = static_cast<std::uint8_t>(wide[i] >> 8);
    }
    if (record.IsScrambled()) KeyStream(NameSeed(record)).Apply(name.data(), name.size());
    Write(name.data(), name.size());
  }

  // Streams the entry's bytes block by block, scrambling them as they are written while the
  // digest stage passes over the same blocks; returns the count.
  std::uint64_t WriteData(IFile& entry, WPACKAGE_INFO_CELL& record) {
    KeyStream stream(DataSeed(record));
    digest_.SetThreaded(record.sourceSize >= kPipelineThreadedSize);
    std::uint64_t done = 0;
    while (done < record.sourceSize) {
      std::uint8_t* block = digest_.Next();
      const std::uint32_t got = ReadBlock(entry, block, record.sourceSize - done);
      digest_.Submit(got);
      Write(record.IsScrambled() ? Scramble(stream, block, got) : block, got);
      done += got;
      written_ += got;
      if (progress_) progress_(written_);
    }
    digest_.Finish();
    const MD5Bytes digest = md5_.Final();
    std::copy(digest.begin(), digest.end(), record.digest);
    return done;
  }

  // The digest reads the plain bytes while they are scrambled, so scrambling works on a copy.
  const std::uint8_t* Scramble(KeyStream& stream, const std::uint8_t* block, std::size_t size) {
    if (!scrambled_)
      scrambled_ = std::make_unique_for_overwrite<std::uint8_t[]>(kPipelineBlockSize);
    std::memcpy(scrambled_.get(), block, size);
    stream.Apply(scrambled_.get(), size);
    return scrambled_.get();
  }

  // Reads the next block of an entry with left bytes to go.
  static std::uint32_t ReadBlock(IFile& entry, std::uint8_t* block, std::uint64_t left) {
    const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(kPipelineBlockSize, left));
    std::uint32_t got = 0;
    if (entry.Read(block, want, &got) < 0 || got == 0) {
      // The entry ended before the size it reported: the same failure as locking it whole.
      throw VarneFileException("File Lock Size Over.", true);
    }
    return got;
  }

  platform::File& file_;
  std::uint32_t header_seed_;
  std::uint32_t scramble_;
  MersenneTwister record_seeds_;
  PackageHeader header_;
  std::uint64_t end_ = 0;  // where the last entry's data ends: the package's length
  std::vector<WPACKAGE_INFO_CELL> records_;
  const std::function<void(std::uint64_t)>& progress_;
  std::uint64_t written_ = 0;
  MD5Context md5_;  // the digest of the entry being written
  SideStage digest_{
      [this](const std::uint8_t* data, std::size_t size) { md5_.Update(data, size); }};
  std::unique_ptr<std::uint8_t[]> scrambled_;
};

// Closes an entry file through its file system on every way out.
class EntryCloser {
 public:
  EntryCloser(VarneFileSystem& system, IFile* file) : system_(system), file_(file) {}
  ~EntryCloser() noexcept(false) { system_.CloseFile(file_); }
  EntryCloser(const EntryCloser&) = delete;
  EntryCloser& operator=(const EntryCloser&) = delete;

 private:
  VarneFileSystem& system_;
  IFile* file_;
};

}  // namespace

void VarneFileSystem::WritePackage(const std::tstring& path_name, std::uint32_t scramble) {
  CriticalSectionLock hold(lock_);
  const std::uint32_t header_seed = generator_.Next();
  std::tstring path(path_name);
  path.ToBackslashes();
  platform::File file;
  if (file.Open(path, platform::Access::kWrite, platform::Share::kReadWrite,
                platform::Disposition::kCreateNew) != platform::OpenError::kNone) {
    throw VarneFileSystemException(
        std::tstring::FormatNew("Package File \"%s\" cannot create or already exists.",
                                path.c_str()),
        false);
  }
  try {
    PackageWriter writer(file, header_seed, scramble, directory_.size(), write_progress_);
    for (const auto& [key, entry] : directory_) {
      IFile* entry_file = OpenFile(key);
      EntryCloser closer(*this, entry_file);
      writer.AddEntry(key, *entry_file);
    }
    if (writer.Count() != directory_.size()) Fail("Write File Count check error.");
    writer.Finish();
  } catch (...) {
    // A half-written package is no package: it would only block the next attempt under its name.
    file.Close();
    platform::RemoveFile(path);
    throw;
  }
}
