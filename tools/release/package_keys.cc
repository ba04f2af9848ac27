#include "package_keys.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <vector>

#include "base/exception.h"
#include "config/config_base.h"
#include "platform/path.h"
#include "release_package.h"
#include "site/install_names.h"
#include "site_files.h"
#include "storage/varne_file_system.h"

namespace fs = std::filesystem;

namespace {

constexpr char kKeysSetting[] = "serverside_publickey";

// The key a settings line sets, as ConfigBase reads it: before the first "=", without the spaces
// around it; none for a line without "=".
template <typename Unit>
std::optional<std::basic_string<Unit>> KeyOfLine(const std::basic_string<Unit>& line) {
  const std::size_t equals = line.find(Unit('='));
  if (equals == std::basic_string<Unit>::npos) return std::nullopt;
  std::size_t first = 0, last = equals;
  const auto space = [](Unit c) { return c == Unit(' ') || c == Unit('\t'); };
  while (first < last && space(line[first])) ++first;
  while (last > first && space(line[last - 1])) --last;
  return line.substr(first, last - first);
}

// The text with the lines that set `key` replaced by `line` (once), or `line` added at the end.
template <typename Unit>
std::basic_string<Unit> WithLine(const std::basic_string<Unit>& text,
                                 const std::basic_string<Unit>& key,
                                 const std::basic_string<Unit>& line) {
  const std::basic_string<Unit> crlf = {Unit('\r'), Unit('\n')};
  std::basic_string<Unit> out;
  bool written = false;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find(Unit('\n'), at), text.size() - 1) + 1;
    const std::basic_string<Unit> piece = text.substr(at, end - at);
    if (KeyOfLine(piece) != key) {
      out += piece;
    } else if (!written) {
      out += line + crlf;
      written = true;
    }
    at = end;
  }
  if (written) return out;
  if (!out.empty() && out.back() != Unit('\n')) out += crlf;
  return out + line + crlf;
}

template <typename Unit>
std::basic_string<Unit> Widened(const std::string& ascii) {
  return std::basic_string<Unit>(ascii.begin(), ascii.end());
}

// The settings' bytes with the keys line written, in their own encoding.
std::vector<unsigned char> WithKeys(std::vector<unsigned char> bytes, const std::string& value) {
  while (!bytes.empty() && bytes.back() == 0) bytes.pop_back();  // the zeros that may end them
  const std::string line = std::string(kKeysSetting) + "=" + value;
  const bool big = bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF;
  if (std::find(bytes.begin(), bytes.end(), 0) == bytes.end() && !big &&
      !(bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE)) {
    // UTF-8: its mark, when it has one, stays before the first line.
    const std::string mark = "\xEF\xBB\xBF", text(bytes.begin(), bytes.end());
    const std::size_t body = text.starts_with(mark) ? mark.size() : 0;
    const std::string changed =
        text.substr(0, body) + WithLine<char>(text.substr(body), kKeysSetting, line);
    return {changed.begin(), changed.end()};
  }
  if (bytes.size() % 2 != 0) bytes.push_back(0);  // the high byte of a final unit cut off
  std::u16string units(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(big ? bytes[2 * i] << 8 | bytes[2 * i + 1]
                                         : bytes[2 * i + 1] << 8 | bytes[2 * i]);
  }
  units = WithLine(units, Widened<char16_t>(kKeysSetting), Widened<char16_t>(line));
  std::vector<unsigned char> out;
  for (const char16_t unit : units) {
    const unsigned char high = static_cast<unsigned char>(unit >> 8), low = unit & 0xFF;
    out.insert(out.end(), {big ? high : low, big ? low : high});
  }
  return out;
}

}  // namespace

bool WritePackagedKeys(const std::string& image, const KeySet& keys) {
  const std::optional<fs::path> package = GamePackage(image);
  if (!package) throw Exception("the image has no " + std::string(kGamePackageName), true);
  fs::path scratch = *package, written = *package;
  scratch += ".varne-settings";
  written += ".varne-new";
  try {
    {
      VarneFileSystem system;
      system.ReadPackage(platform::ToInternalPath(platform::FilesystemPathText(*package)));
      FileInfoCellEx entry;
      if (!system.LookupEntry(kDialogConfigName, &entry)) {
        throw Exception(std::string(kGamePackageName) + " holds no " + kDialogConfigName, true);
      }
      const std::vector<unsigned char> settings = ReadEntry(system, kDialogConfigName);
      ConfigBase named;
      named.AddEntries(settings);
      if (named.LoadString(kKeysSetting, "") == KeySetText(keys)) return false;
      const std::vector<unsigned char> changed = WithKeys(settings, KeySetText(keys));
      fs::create_directories(scratch);
      WriteSiteFile(scratch / kDialogConfigName, {changed.begin(), changed.end()});
      const std::string base = platform::ToInternalPath(platform::FilesystemPathText(scratch));
      system.AddFile(base + "\\" + kDialogConfigName, base);
      system.WritePackage(platform::ToInternalPath(platform::FilesystemPathText(written)),
                          entry.IsScrambled() ? 1 : 0);
    }
    fs::rename(written, *package);
    fs::remove_all(scratch);
    return true;
  } catch (...) {
    std::error_code ignored;
    fs::remove(written, ignored);
    fs::remove_all(scratch, ignored);
    throw;
  }
}
