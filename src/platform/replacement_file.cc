// What the two kinds of replacement file do alike on both systems, through platform::File.
#include "platform/file.h"

namespace platform {

ReplacementFile::~ReplacementFile() { Discard(); }

bool ReplacementFile::Commit() {
  if (temp_.empty() || !file_.MoveInPlace(temp_, target_)) {
    Discard();
    return false;
  }
  temp_.clear();
  return true;
}

void ReplacementFile::Discard() { file_.CloseAndRemove(temp_); }

std::string ResumablePartName(const std::string& name) {
  // ".part" where a replacement's name ends in ".tmp": the clean-up of abandoned replacements
  // never takes a part for one, whoever wrote it.
  std::string hidden = ".";
  hidden += name;
  hidden += ".part";
  return hidden;
}

ResumableFile::~ResumableFile() = default;

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

}  // namespace platform
