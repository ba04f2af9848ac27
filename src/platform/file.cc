// The file code of both systems, written once over the system calls of native_file.h.
#include "platform/file.h"

#include <algorithm>
#include <atomic>
#include <string_view>
#include <utility>

#include "platform/file_faults.h"
#include "platform/file_stamp.h"
#include "platform/native_file.h"
#include "platform/path.h"
#include "platform/process_list.h"
#include "platform/replacement_name.h"

namespace platform {
namespace {

// Set only by the tests' fault-injection library.
std::atomic<FileFaults*> file_faults{nullptr};

std::int64_t WriteSome(const NativeHandle& file, const char* bytes, std::size_t count) {
  if (FileFaults* faults = file_faults.load()) {
    count = faults->WritableBytes(count);
    if (count == 0) return -1;  // as a full disk refuses
  }
  return native::WriteSome(file, bytes, count);
}

bool ReplaceFails() {
  FileFaults* faults = file_faults.load();
  return faults != nullptr && faults->ReplaceFails();
}

// Reads until count bytes are in or the file ends; done is what came in, false when a read failed.
bool ReadUpTo(const NativeHandle& file, void* buffer, std::size_t count, std::size_t& done) {
  done = 0;
  while (done < count) {
    const std::int64_t n = native::ReadSome(file, static_cast<char*>(buffer) + done, count - done);
    if (n < 0) return false;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

namespace native {

std::string Join(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == kSeparator ? folder + name : folder + kSeparator + name;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of(kSeparator);
  if (slash == std::string::npos) return {};
  return path.substr(0, slash == 0 ? 1 : slash);
}

std::string NameOf(const std::string& path) {
  return path.substr(path.find_last_of(kSeparator) + 1);
}

}  // namespace native

File::~File() { Close(); }

OpenError File::Open(const std::string& path, Access access, Share share, Disposition disposition) {
  Close();
  OpenError error = OpenError::kNone;
  handle_ = native::Open(ResolvePath(path), access, share, disposition, error);
  return error;
}

void File::Close() { handle_.Reset(); }

std::int64_t File::Read(void* buffer, std::size_t count) {
  if (!IsOpen()) return -1;
  std::size_t done = 0;
  // What came in before a failure is handed out; the next read reports the failure.
  const bool read = ReadUpTo(handle_, buffer, count, done);
  return read || done > 0 ? static_cast<std::int64_t>(done) : -1;
}

std::size_t File::Write(const void* buffer, std::size_t count) {
  if (!IsOpen()) return 0;
  std::size_t done = 0;
  while (done < count) {
    const std::int64_t n =
        WriteSome(handle_, static_cast<const char*>(buffer) + done, count - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

std::int64_t File::Seek(std::int64_t offset, SeekFrom from) {
  return IsOpen() ? native::Seek(handle_, offset, from) : -1;
}

std::int64_t File::Tell() const {
  return IsOpen() ? native::Seek(handle_, 0, SeekFrom::kCurrent) : -1;
}

std::int64_t File::Length() const { return IsOpen() ? native::Length(handle_) : -1; }

bool File::Sync() { return IsOpen() && native::Sync(handle_); }

// Synced before the rename: after a power loss the name must not lead to unwritten bytes. Closed
// before it, as Windows renames no file that is open without delete sharing.
bool File::MoveInPlace(const std::string& from, const std::string& target) {
  return !ReplaceFails() && native::TakeModeOf(handle_, target) && Sync() &&
         PutInPlace(from, target);
}

bool File::PutInPlace(const std::string& from, const std::string& target) {
  Close();
  return native::RenameOver(from, target);
}

void File::CloseAndRemove(std::string& name) {
  Close();
  if (!name.empty()) native::Remove(name);
  name.clear();
}

void File::StartWriteOut(std::uint64_t offset, std::uint64_t length) {
  native::StartWriteOut(handle_, offset, length);
}

ReplacementFile::~ReplacementFile() { Discard(); }

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept { *this = std::move(other); }

ReplacementFile& ReplacementFile::operator=(ReplacementFile&& other) noexcept {
  if (this == &other) return *this;
  Discard();
  file_ = std::move(other.file_);
  written_ = other.written_;
  written_out_ = other.written_out_;
  temp_ = std::exchange(other.temp_, {});  // the file is this object's to commit or remove now
  target_ = std::move(other.target_);
  return *this;
}

bool ReplacementFile::Create(const std::string& destination) {
  static std::atomic<unsigned> counter{0};
  Discard();
  written_ = written_out_ = 0;
  target_ = ResolvePath(destination);
  if (native::KindOf(target_) == native::Kind::kSpecial) return false;
  const std::string folder = native::FolderOf(target_);
  // A unique name per process and call; one left by a process that reused this id is skipped.
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp =
        native::Join(folder, ReplacementName(native::NameOf(target_), counter.fetch_add(1)));
    bool exists = false;
    file_.handle_ = native::CreateNew(temp, exists);
    if (file_.IsOpen()) {
      temp_ = std::move(temp);
      return true;
    }
    if (!exists) return false;
  }
  return false;
}

std::size_t ReplacementFile::Write(const void* buffer, std::size_t count) {
  const std::size_t written = file_.Write(buffer, count);
  written_ += written;
  if (written_ - written_out_ >= File::kWriteOutStep) {
    // Only started here, not waited for: the disk works while the rest of the file is produced.
    file_.StartWriteOut(written_out_, written_ - written_out_);
    written_out_ = written_;
  }
  return written;
}

bool ReplacementFile::Commit() {
  if (temp_.empty() || !file_.MoveInPlace(temp_, target_)) {
    Discard();
    return false;
  }
  temp_.clear();
  return true;
}

void ReplacementFile::Discard() { file_.CloseAndRemove(temp_); }

void ReplacementBatch::Add(ReplacementFile file) {
  // Started now, so that the disk writes the file while the next ones are produced.
  if (file.written_ > file.written_out_) {
    file.file_.StartWriteOut(file.written_out_, file.written_ - file.written_out_);
    file.written_out_ = file.written_;
  }
  bytes_ += file.written_;
  files_.push_back(std::move(file));
}

bool ReplacementBatch::Full() const { return files_.size() >= kFiles || bytes_ >= kBytes; }

bool ReplacementBatch::Commit(std::string& failed) {
  std::vector<const NativeHandle*> handles;
  const auto not_ready = std::find_if_not(files_.begin(), files_.end(), [&](ReplacementFile& file) {
    handles.push_back(&file.file_.handle_);
    return !ReplaceFails() && native::TakeModeOf(file.file_.handle_, file.target_);
  });
  bool committed = not_ready == files_.end() && (files_.empty() || native::SyncAll(handles));
  if (!committed) failed = (not_ready == files_.end() ? files_.front() : *not_ready).target_;
  for (auto file = files_.begin(); committed && file != files_.end(); ++file) {
    committed = file->file_.PutInPlace(file->temp_, file->target_);
    if (committed) file->temp_.clear();
    if (!committed) failed = file->target_;
  }
  files_.clear();  // the files not put in place are removed
  bytes_ = 0;
  return committed;
}

// The mark of the replacements' names, with ".part" where theirs end in ".tmp": the clean-up of
// abandoned replacements never takes a part for one, and an unmarked ".<name>.part" is not ours.
constexpr std::string_view kPartSuffix = ".rv7new.part";

std::string ResumablePartName(const std::string& name) {
  std::string hidden = ".";
  hidden += name;
  hidden += kPartSuffix;
  return hidden;
}

bool IsResumablePartName(const std::string& name) {
  return name.size() > kPartSuffix.size() + 1 && name[0] == '.' && name.ends_with(kPartSuffix);
}

ResumableFile::~ResumableFile() = default;

bool ResumableFile::Open(const std::string& destination) {
  file_.Close();
  part_.clear();
  target_ = ResolvePath(destination);
  if (!native::IsPlainOrAbsent(target_)) return false;
  std::string part =
      native::Join(native::FolderOf(target_), ResumablePartName(native::NameOf(target_)));
  bool foreign = false;
  file_.handle_ = native::OpenPlain(part, foreign);
  // What stands under the part's name but is no file of this code's (a hard or symbolic link to a
  // file elsewhere, a pipe) goes by its name, never through it, and the part starts anew. A folder
  // is not removed: the open fails.
  if (foreign && native::Remove(part)) {
    bool exists = false;
    file_.handle_ = native::CreateNew(part, exists);
  }
  if (!file_.IsOpen() || file_.Seek(0, SeekFrom::kEnd) < 0) {
    file_.Close();
    return false;
  }
  part_ = std::move(part);
  return true;
}

std::uint64_t ResumableFile::Length() const {
  const std::int64_t length = file_.Length();
  return length < 0 ? 0 : static_cast<std::uint64_t>(length);
}

std::int64_t ResumableFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t count) {
  // Reads and appends share the file's one position: it is put back for the next Write.
  const std::int64_t position = file_.Tell();
  if (position < 0 || file_.Seek(static_cast<std::int64_t>(offset), SeekFrom::kStart) < 0)
    return -1;
  const std::int64_t read = file_.Read(buffer, count);
  return file_.Seek(position, SeekFrom::kStart) == position ? read : -1;
}

bool ResumableFile::Truncate(std::uint64_t length) {
  const auto position = static_cast<std::int64_t>(length);
  return length <= Length() && native::Truncate(file_.handle_, length) &&
         file_.Seek(position, SeekFrom::kStart) == position;
}

std::size_t ResumableFile::Write(const void* buffer, std::size_t count) {
  const std::size_t written = file_.Write(buffer, count);
  const std::int64_t end = file_.Tell();
  // A part cut shorter starts its write-out again from the start: pages already out cost nothing.
  if (end >= 0 && static_cast<std::uint64_t>(end) < written_out_) written_out_ = 0;
  if (end >= 0 && static_cast<std::uint64_t>(end) - written_out_ >= File::kWriteOutStep) {
    file_.StartWriteOut(written_out_, static_cast<std::uint64_t>(end) - written_out_);
    written_out_ = static_cast<std::uint64_t>(end);
  }
  return written;
}

// A failed commit keeps the part: its bytes are whole, and the next run can commit them.
bool ResumableFile::Commit() {
  if (part_.empty() || !file_.MoveInPlace(part_, target_)) return false;
  part_.clear();
  return true;
}

void ResumableFile::Remove() { file_.CloseAndRemove(part_); }

int RemoveAbandonedReplacements(const std::string& internal_folder) {
  const std::string folder = internal_folder.empty() ? "." : internal_folder;
  std::vector<DirectoryItem> items;
  if (!ListDirectory(folder, &items)) return 0;
  const std::string native_folder = ResolvePath(folder);
  int removed = 0;
  for (const DirectoryItem& item : items) {
    const int writer = WriterOfReplacement(item.name);
    if (item.is_directory || writer <= 0 || !WaitForProcessExit(writer, 0)) continue;
    if (native::Remove(native::Join(native_folder, item.name))) ++removed;
  }
  return removed;
}

bool IsDirectory(const std::string& internal) {
  return native::KindOf(ResolvePath(internal)) == native::Kind::kFolder;
}

bool IsRegularFile(const std::string& internal) {
  return native::KindOf(ResolvePath(internal)) == native::Kind::kFile;
}

bool IsSpecialFile(const std::string& internal) {
  // A name that stands as spelled is what ResolvePath gives, without its look-up.
  native::Kind kind = native::KindOf(ToNativePath(internal));
  if (kind == native::Kind::kNothing) kind = native::KindOf(ResolvePath(internal));
  return kind == native::Kind::kSpecial;
}

bool RemoveFile(const std::string& internal) { return native::Remove(ResolvePath(internal)); }

void SetFileFaults(FileFaults* faults) { file_faults.store(faults); }

SequentialFile::~SequentialFile() { Close(); }

std::int64_t SequentialFile::Read(void* buffer, std::size_t count) {
  std::size_t done = 0;
  return file_.Valid() && ReadUpTo(file_, buffer, count, done) ? static_cast<std::int64_t>(done)
                                                               : -1;
}

void SequentialFile::Close() {
  file_.Reset();
  stamp_ = {};
}

}  // namespace platform
