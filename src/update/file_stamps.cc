#include "update/file_stamps.h"

#include <algorithm>
#include <charconv>
#include <string_view>

#include "base/exception.h"
#include "config/config_base.h"
#include "platform/file.h"
#include "site/install_names.h"
#include "storage/md5.h"

const char kFileStampsName[] = "RV7.stamps";

namespace {

constexpr std::string_view kHeader = "varne-stamps 1\n";
constexpr std::string_view kFullKey = "full";
constexpr std::string_view kCheckKey = "md5 ";
// A line's fields besides its path: six numbers of at most 20 digits and a sign, a SHA-256 in
// hexadecimal, the spaces and the line end.
constexpr std::size_t kLineRoom = 6 * 21 + 64 + 8 + 1;
constexpr std::size_t kFileRoom = 256;
constexpr std::int64_t kSecondsPerDay = 24 * 60 * 60;

std::string CheckText(std::string_view body) {
  MD5Context context;
  context.Update(body.data(), body.size());
  return MD5Context::ToText(context.Final());
}

// Takes the text up to the next `end` from text; false when there is none.
bool TakeField(std::string_view& text, char end, std::string_view& field) {
  const std::size_t at = text.find(end);
  if (at == std::string_view::npos) return false;
  field = text.substr(0, at);
  text.remove_prefix(at + 1);
  return true;
}

template <typename Number>
bool TakeNumber(std::string_view& text, char end, Number& number) {
  std::string_view field;
  if (!TakeField(text, end, field) || field.empty()) return false;
  const auto [stop, error] = std::from_chars(field.data(), field.data() + field.size(), number);
  return error == std::errc() && stop == field.data() + field.size();
}

bool IsDigestText(std::string_view text) {
  return (text.size() == 32 || text.size() == 64) &&
         std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool ParseRecord(std::string_view line, std::string& path, StampRecord& record) {
  platform::FileStamp& stamp = record.stamp;
  std::string_view digest;
  if (!TakeNumber(line, ' ', record.taken_ns) || !TakeNumber(line, ' ', stamp.size) ||
      !TakeNumber(line, ' ', stamp.modified_ns) || !TakeNumber(line, ' ', stamp.changed_ns) ||
      !TakeNumber(line, ' ', stamp.device) || !TakeNumber(line, ' ', stamp.file_id) ||
      !TakeField(line, ' ', digest) || !IsDigestText(digest) || line.empty()) {
    return false;
  }
  record.digest = digest;
  path = line;
  return true;
}

void AppendRecord(std::string& text, const std::string& path, const StampRecord& record) {
  const platform::FileStamp& stamp = record.stamp;
  for (const std::int64_t number :
       {record.taken_ns, stamp.size, stamp.modified_ns, stamp.changed_ns}) {
    text += std::to_string(number);
    text += ' ';
  }
  for (const std::uint64_t number : {stamp.device, stamp.file_id}) {
    text += std::to_string(number);
    text += ' ';
  }
  text += record.digest;
  text += ' ';
  text += path;
  text += '\n';
}

// The stamp file's bytes when it is a regular file of the install folder itself (not reached
// through a link that leads elsewhere) of at most limit bytes; nothing otherwise.
std::optional<std::string> ReadStampFile(std::size_t limit) {
  const std::optional<std::string> real = platform::RealPath(kFileStampsName);
  const std::optional<std::string> folder = platform::RealPath(".");
  if (!real || !folder || real->substr(0, real->rfind('\\')) != *folder ||
      !platform::IsRegularFile(kFileStampsName)) {
    return std::nullopt;
  }
  platform::File file;
  if (file.Open(kFileStampsName, platform::Access::kRead, platform::Share::kReadWrite,
                platform::Disposition::kOpenExisting) != platform::OpenError::kNone) {
    return std::nullopt;
  }
  const std::int64_t length = file.Length();
  if (length < 0 || static_cast<std::uint64_t>(length) > limit) return std::nullopt;
  std::string bytes(static_cast<std::size_t>(length), '\0');
  // One byte more than the length asks for: a file that grew since is no file this run wrote.
  bytes.push_back('\0');
  std::size_t got = 0;
  for (std::int64_t read;
       got < bytes.size() && (read = file.Read(&bytes[got], bytes.size() - got)) > 0;) {
    got += static_cast<std::size_t>(read);
  }
  if (got != bytes.size() - 1) return std::nullopt;
  bytes.pop_back();
  return bytes;
}

}  // namespace

CheckPolicy ConfiguredCheck(bool verify) {
  CheckPolicy policy{.verify = verify};
  try {
    DlgConfig dialog;
    dialog.LoadFromPackfile(kDialogConfigName);
    policy.stamps_allowed = dialog.LoadInt("fast_check", 0) != 0;
    policy.full_check_days = std::max(dialog.LoadInt("full_check_days", 0), 0);
  } catch (const Exception&) {
  }
  return policy;
}

FileStamps::FileStamps(const FileList& list, const CheckPolicy& policy, std::int64_t now_s)
    : list_(list), enabled_(policy.stamps_allowed), now_s_(now_s) {
  if (!enabled_) return;
  records_.resize(list_.size());
  if (!policy.verify) Load(now_s, policy.full_check_days);
}

void FileStamps::Load(std::int64_t now_s, int full_check_days) {
  std::size_t limit = kFileRoom;
  for (const FileEntry& entry : list_) limit += kLineRoom + entry.path.size();
  const std::optional<std::string> text = ReadStampFile(limit);
  if (!text || !Parse(*text)) {
    loaded_.clear();
    return;
  }
  const std::int64_t period = std::int64_t{full_check_days} * kSecondsPerDay;
  // A last check in the future means a clock that was wrong, then or now: the check is due.
  full_check_ = full_check_days > 0 &&
                (now_s - last_full_s_ >= period || last_full_s_ > now_s + kSecondsPerDay);
}

bool FileStamps::Parse(const std::string& whole) {
  std::string_view text = whole;
  if (!text.starts_with(kHeader)) return false;
  const std::size_t check = text.rfind(kCheckKey);
  if (check == std::string_view::npos ||
      text.substr(check) != std::string(kCheckKey) + CheckText(text.substr(0, check)) + "\n") {
    return false;
  }
  text = text.substr(kHeader.size(), check - kHeader.size());
  std::string_view key;
  if (!TakeField(text, ' ', key) || key != kFullKey || !TakeNumber(text, '\n', last_full_s_)) {
    return false;
  }
  loaded_.reserve(list_.size());
  std::string path;
  std::string_view line;
  while (TakeField(text, '\n', line)) {
    StampRecord record;
    if (!ParseRecord(line, path, record)) return false;
    loaded_.insert_or_assign(std::move(path), std::move(record));
  }
  return text.empty();
}

bool FileStamps::Vouched(std::size_t index, const platform::FileStamp& now,
                         const std::string& expected) const {
  if (!enabled_ || full_check_) return false;
  const auto found = loaded_.find(list_[index].path);
  if (found == loaded_.end()) return false;
  const StampRecord& record = found->second;
  const auto settle = std::chrono::nanoseconds(kSettle).count();
  if (record.digest != expected || record.stamp != now ||
      record.taken_ns - now.modified_ns <= settle) {
    return false;
  }
  // Saved as loaded: a file without a new record keeps the one it had.
  return true;
}

void FileStamps::Record(std::size_t index, const platform::FileStamp& stamp, std::int64_t taken_ns,
                        const std::string& digest) {
  if (!enabled_) return;
  records_[index] = StampRecord{stamp, taken_ns, digest};
  changed_ = true;
}

bool FileStamps::Save(bool completed) {
  if (!enabled_) return true;
  if (full_check_ && completed) {
    last_full_s_ = now_s_;
    changed_ = true;
  }
  if (!changed_) return true;
  const std::string text = Text();
  platform::ReplacementFile file;
  if (!file.Create(kFileStampsName) || file.Write(text.data(), text.size()) != text.size() ||
      !file.Commit()) {
    return false;
  }
  changed_ = false;
  return true;
}

std::string FileStamps::Text() const {
  std::string text(kHeader);
  text += kFullKey;
  text += ' ';
  text += std::to_string(last_full_s_);
  text += '\n';
  for (std::size_t i = 0; i < list_.size(); ++i) {
    const std::string path = list_[i].path;
    // A file this run did not come to keeps the stamp it had: that still has to match.
    const auto loaded = loaded_.find(path);
    const StampRecord* record = records_[i]               ? &*records_[i]
                                : loaded != loaded_.end() ? &loaded->second
                                                          : nullptr;
    if (record != nullptr) AppendRecord(text, path, *record);
  }
  const std::string check = CheckText(text);
  text += kCheckKey;
  text += check;
  text += '\n';
  return text;
}
