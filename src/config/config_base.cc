#include "config/config_base.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "base/critical_section.h"
#include "base/exception.h"
#include "base/utf8string.h"
#include "platform/file.h"
#include "storage/i_file_manager.h"
#include "storage/opened_file.h"

namespace {

// One lock for every settings object of the process.
CriticalSection& ConfigLock() {
  static CriticalSection lock;
  return lock;
}

// Reads a whole file through the process's file manager; the handle is closed on every path.
std::vector<unsigned char> ReadThroughFileManager(const std::tstring& name) {
  IFileManager* manager = Singleton<IFileManager>::GetInstance();
  if (manager == nullptr) throw ConfigBaseException("File Open Error. : " + name);
  // A name that no package holds is a file that cannot be opened, whatever the file manager says
  // of it: the player is told which settings file is missing.
  std::optional<OpenedFile> file;
  try {
    file.emplace(*manager, name.c_str(), kOpenBinaryReadOnly);
  } catch (const Exception&) {
  }
  if (!file || !*file) throw ConfigBaseException("File Open Error. : " + name);
  const std::uint64_t size = manager->GetSize(file->handle());
  if (size >> 32 != 0) throw ConfigBaseException("File read size error.");
  std::vector<unsigned char> bytes(size + 2, 0);
  std::uint32_t read = 0;
  manager->Read(file->handle(), bytes.data(), static_cast<std::uint32_t>(size), &read);
  if (read != size) throw ConfigBaseException("File read size error.");
  return bytes;
}

}  // namespace

void ConfigBase::AddLine(const std::tstring& line) {
  const size_t equals = line.find('=');
  if (equals == std::tstring::npos) return;
  std::tstring key = line.substr(0, equals);
  std::tstring value = line.substr(equals + 1);
  key.TrimLeft();
  key.TrimRight();
  value.TrimLeft();
  value.TrimRight();
  entries_[key] = value;
}

void ConfigBase::Load(const std::tstring& path) {
  CriticalSectionLock hold(ConfigLock());
  try {
    entries_.clear();
    // A file that cannot be read leaves the table empty: the settings then take their defaults.
    const std::optional<std::string> text = platform::ReadWholeFile(path);
    for (std::string_view rest = text ? *text : std::string_view(); !rest.empty();) {
      const std::size_t end = std::min(rest.find('\n'), rest.size());
      std::string_view line = rest.substr(0, end);
      rest.remove_prefix(std::min(end + 1, rest.size()));
      // Text-mode reading on Windows drops the CR of a CR LF pair; do the same here.
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      AddLine(std::tstring(line));
    }
    file_name_ = path;
  } catch (const Exception& failure) {
    throw Exception(failure);
  } catch (...) {
    throw ConfigBaseException("Load");
  }
}

void ConfigBase::LoadFromPackfile(const std::tstring& name) {
  try {
    std::tstring file = name;
    if (file.empty()) {
      CriticalSectionLock hold(ConfigLock());
      file = file_name_;
    }
    // Read before the lock is taken: the file manager holds its own while it reads, and the
    // settings' lock covers only the change to the table.
    const std::vector<unsigned char> bytes = ReadThroughFileManager(file);
    CriticalSectionLock hold(ConfigLock());
    AddEntries(bytes);
    file_name_ = file;
  } catch (const Exception& failure) {
    throw Exception(failure);
  } catch (...) {
    throw ConfigBaseException("LoadFromPackfile");
  }
}

namespace {

// A file saved as UTF-8, with or without its byte-order mark: no UTF-16 mark and no zero byte
// before the zeros that end it. Every "=" of a UTF-16 text holds a zero byte, so a file read this
// way would have given no entry as UTF-16: a UTF-16 file reads exactly as it always did.
bool IsUtf8Text(const std::vector<unsigned char>& bytes) {
  if (bytes.size() >= 2 &&
      ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF))) {
    return false;
  }
  const auto end = std::find_if(bytes.rbegin(), bytes.rend(), [](unsigned char b) { return b; });
  return std::find(bytes.begin(), end.base(), 0) == end.base();
}

}  // namespace

void ConfigBase::AddEntries(const std::vector<unsigned char>& bytes) {
  std::tstring text;
  if (IsUtf8Text(bytes)) {
    static constexpr unsigned char kMark[] = {0xEF, 0xBB, 0xBF};
    const bool marked = bytes.size() >= 3 && std::equal(kMark, kMark + 3, bytes.begin());
    const auto end = std::find(bytes.begin() + (marked ? 3 : 0), bytes.end(), 0);
    utf8string utf8;
    utf8.SetUtf8Data(reinterpret_cast<const char*>(bytes.data()) + (marked ? 3 : 0),
                     static_cast<std::uint32_t>(end - bytes.begin() - (marked ? 3 : 0)));
    text = utf8.GetString();
  } else {
    text.SetFromData(bytes.size(), bytes.data());
  }
  std::tstring line;
  while (std::tstring::GetLine(text, line)) AddLine(line);
}

std::tstring ConfigBase::LoadString(const std::tstring& key, const std::tstring& fallback) {
  CriticalSectionLock hold(ConfigLock());
  return entries_.try_emplace(key, fallback).first->second;
}

bool ConfigBase::Empty() const {
  CriticalSectionLock hold(ConfigLock());
  return entries_.empty();
}

int ConfigBase::LoadInt(const std::tstring& key, int fallback) {
  CriticalSectionLock hold(ConfigLock());
  const std::tstring& text =
      entries_.try_emplace(key, std::tstring::FormatNew("%d", fallback)).first->second;
  errno = 0;
  const long value = std::strtol(text.c_str(), nullptr, 10);
  // long may be wider than the 32 bits the value must fit.
  if (errno == ERANGE || value > INT_MAX || value < INT_MIN) {
    throw RuntimeException("ConfigBase::LoadInt Out of Range.", true);
  }
  if (errno == EINVAL) throw RuntimeException("ConfigBase::LoadInt EINVAL.", true);
  return static_cast<int>(value);
}
