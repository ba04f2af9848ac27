#include "site/removed_files.h"

#include "base/exception.h"
#include "base/hex.h"
#include "base/relative_path.h"
#include "base/utf8string.h"

namespace {

constexpr char kMagic[] = "varne-removed 1";

[[noreturn]] void Refuse(const std::string& why) {
  throw DownloadManagerException("removed files document " + why, true);
}

std::string Utf8Of(const std::tstring& path) {
  utf8string text;
  text.SetString(path);
  return std::string(text.GetData(), text.GetSize() - 1);
}

std::tstring PathOf(std::string_view utf8) {
  utf8string text;
  text.SetUtf8Data(utf8.data(), static_cast<std::uint32_t>(utf8.size()));
  return text.GetString();
}

// The next blank-separated field of rest, which loses it and the blank after it.
std::string_view NextField(std::string_view& rest) {
  const std::size_t blank = rest.find(' ');
  if (blank == std::string_view::npos || blank == 0) Refuse("is malformed.");
  const std::string_view field = rest.substr(0, blank);
  rest.remove_prefix(blank + 1);
  return field;
}

RemovedFile FileOf(std::string_view line) {
  std::string_view rest = ValueOf(line, "removed");
  RemovedFile file;
  const std::uint64_t age = NumberOf(NextField(rest));
  if (age >= kRemovedKeptReleases) Refuse("is malformed.");
  file.age = static_cast<unsigned>(age);
  file.size = NumberOf(NextField(rest));
  if (!DecodeHex(NextField(rest), file.md5)) Refuse("is malformed.");
  const std::string_view sha256 = NextField(rest);
  if (sha256 != "-" && !DecodeHex(sha256, file.sha256.emplace())) Refuse("is malformed.");
  file.path = PathOf(rest);
  if (!IsSafeRelativePath(file.path)) Refuse("names a path outside the install : " + file.path);
  return file;
}

}  // namespace

std::string RemovedFilesText(const RemovedFiles& removed) {
  std::string text = std::string(kMagic) + "\n" + SizeAndDigestLine("list", removed.list);
  for (const RemovedFile& file : removed.files) {
    if (!IsSafeRelativePath(file.path)) {
      throw Exception("not a path a release can remove : " + file.path, true);
    }
    text += "removed " + std::to_string(file.age) + " " + std::to_string(file.size) + " " +
            EncodeHex(file.md5) + " " + (file.sha256 ? EncodeHex(*file.sha256) : "-") + " " +
            Utf8Of(file.path) + "\n";
  }
  return text;
}

RemovedFiles ReadRemovedFiles(std::string_view document, const KeySet* keys) {
  const std::vector<std::string_view> lines =
      keys != nullptr ? VerifiedLines(document, *keys, kMaxRemovedFilesSize)
                      : DocumentLines(SplitSignatures(document, kMaxRemovedFilesSize).signed_part);
  if (lines.size() < 2 || lines[0] != kMagic) Refuse("is malformed.");
  RemovedFiles removed{SizeAndDigestOf(lines[1], "list"), {}};
  removed.files.reserve(lines.size() - 2);
  for (std::size_t i = 2; i < lines.size(); ++i) removed.files.push_back(FileOf(lines[i]));
  return removed;
}
