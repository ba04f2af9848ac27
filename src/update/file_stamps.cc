#include "update/file_stamps.h"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <system_error>
#include <thread>

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

template <typename Number>
void AppendNumber(std::string& text, Number number) {
  char digits[24];
  const auto [end, error] = std::to_chars(std::begin(digits), std::end(digits), number);
  text.append(digits, end);
  text += ' ';
}

void AppendRecord(std::string& text, std::string_view path, const platform::FileStamp& stamp,
                  std::int64_t taken_ns, std::string_view digest) {
  for (const std::int64_t number : {taken_ns, stamp.size, stamp.modified_ns, stamp.changed_ns}) {
    AppendNumber(text, number);
  }
  AppendNumber(text, stamp.device);
  AppendNumber(text, stamp.file_id);
  text += digest;
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

void LookAtListed(
    const FileList& list, std::stop_token stop,
    const std::function<void(std::size_t, const std::optional<platform::FileStamp>&)>& each) {
  // Entries are claimed a run at a time, so that a core the machine gives to something else holds
  // up no more than its run.
  constexpr std::size_t kRun = 256;
  std::atomic<std::size_t> next{0};
  const auto look = [&] {
    for (std::size_t first;
         !stop.stop_requested() && (first = next.fetch_add(kRun)) < list.size();) {
      for (std::size_t i = first; i < std::min(first + kRun, list.size()); ++i) {
        each(i, platform::StampOf(std::string(list.PathAt(i))));
      }
    }
  };
  std::vector<std::thread> helpers;
  try {
    for (unsigned i = 1; i < std::thread::hardware_concurrency(); ++i) helpers.emplace_back(look);
  } catch (const std::system_error&) {
    // Fewer helpers only take longer.
  }
  look();
  for (std::thread& helper : helpers) helper.join();
}

FileStamps::FileStamps(const FileList& list, const CheckPolicy& policy, std::int64_t now_s)
    : list_(list), enabled_(policy.stamps_allowed), now_s_(now_s) {
  if (!enabled_) return;
  records_.resize(list_.size());
  if (!policy.verify) Load(now_s, policy.full_check_days);
}

void FileStamps::Load(std::int64_t now_s, int full_check_days) {
  std::size_t limit = kFileRoom;
  for (std::size_t i = 0; i < list_.size(); ++i) limit += kLineRoom + list_.PathAt(i).size();
  std::optional<std::string> text = ReadStampFile(limit);
  if (!text) return;
  text_ = std::move(*text);
  if (!Parse(text_)) {
    loaded_.clear();
    return;
  }
  SortUnlessListed();
  const std::int64_t period = std::int64_t{full_check_days} * kSecondsPerDay;
  // A last check in the future means a clock that was wrong, then or now: the check is due.
  full_check_ = full_check_days > 0 &&
                (now_s - last_full_s_ >= period || last_full_s_ > now_s + kSecondsPerDay);
}

bool FileStamps::Parse(std::string_view text) {
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
  std::string_view line;
  while (TakeField(text, '\n', line)) {
    Loaded& record = loaded_.emplace_back();
    platform::FileStamp& stamp = record.stamp;
    if (!TakeNumber(line, ' ', record.taken_ns) || !TakeNumber(line, ' ', stamp.size) ||
        !TakeNumber(line, ' ', stamp.modified_ns) || !TakeNumber(line, ' ', stamp.changed_ns) ||
        !TakeNumber(line, ' ', stamp.device) || !TakeNumber(line, ' ', stamp.file_id) ||
        !TakeField(line, ' ', record.digest) || !IsDigestText(record.digest) || line.empty()) {
      return false;
    }
    record.path = line;
  }
  return text.empty();
}

// The stamps were written in the order of the list they were taken for; a list of another
// release finds its paths by a search.
void FileStamps::SortUnlessListed() {
  bool listed = loaded_.size() == list_.size();
  for (std::size_t i = 0; listed && i < loaded_.size(); ++i) {
    listed = loaded_[i].path == list_.PathAt(i);
  }
  if (listed) return;
  by_path_.resize(loaded_.size());
  for (std::size_t i = 0; i < by_path_.size(); ++i) by_path_[i] = static_cast<std::uint32_t>(i);
  std::stable_sort(by_path_.begin(), by_path_.end(), [this](std::uint32_t a, std::uint32_t b) {
    return loaded_[a].path < loaded_[b].path;
  });
}

const FileStamps::Loaded* FileStamps::LoadedFor(std::size_t index) const {
  const std::string_view path = list_.PathAt(index);
  if (by_path_.empty()) return index < loaded_.size() ? &loaded_[index] : nullptr;
  const auto found = std::lower_bound(
      by_path_.begin(), by_path_.end(), path,
      [this](std::uint32_t at, std::string_view key) { return loaded_[at].path < key; });
  return found != by_path_.end() && loaded_[*found].path == path ? &loaded_[*found] : nullptr;
}

bool FileStamps::Vouched(std::size_t index, const platform::FileStamp& now,
                         std::string_view expected) const {
  if (!enabled_ || full_check_) return false;
  const Loaded* const record = LoadedFor(index);
  if (record == nullptr) return false;
  const auto settle = std::chrono::nanoseconds(kSettle).count();
  if (record->digest != expected || record->stamp != now ||
      record->taken_ns - now.modified_ns <= settle) {
    return false;
  }
  // Saved as loaded: a file without a new record keeps the one it had.
  return true;
}

void FileStamps::Record(std::size_t index, const platform::FileStamp& stamp, std::int64_t taken_ns,
                        const std::string& digest) {
  if (!enabled_) return;
  records_[index] = std::make_unique<StampRecord>(StampRecord{stamp, taken_ns, digest});
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
  text.reserve(text_.size());
  for (std::size_t i = 0; i < list_.size(); ++i) {
    const std::string_view path = list_.PathAt(i);
    // A file this run did not come to keeps the stamp it had: that still has to match.
    if (const std::unique_ptr<StampRecord>& record = records_[i]) {
      AppendRecord(text, path, record->stamp, record->taken_ns, record->digest);
    } else if (const Loaded* const loaded = LoadedFor(i)) {
      AppendRecord(text, path, loaded->stamp, loaded->taken_ns, loaded->digest);
    }
  }
  const std::string check = CheckText(text);
  text += kCheckKey;
  text += check;
  text += '\n';
  return text;
}
