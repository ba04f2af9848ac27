// Settings files of "key=value" lines, read either from disk as narrow text (Load) or as UTF-16
// text through the process's file manager (LoadFromPackfile), with text and integer lookups that
// take a default. All objects share one lock, so lookups on different objects from the worker and
// the user-interface thread are serialised.
#pragma once

#include <map>
#include <vector>

#include "base/tstring.h"

class ConfigBase {
 public:
  ConfigBase() = default;
  virtual ~ConfigBase() = default;

  // Replaces the table with the entries of a disk file; a missing file gives an empty table.
  void Load(const std::tstring& path);
  // Adds the entries of a file found through the file manager; an empty name reloads the last one.
  void LoadFromPackfile(const std::tstring& name);
  // Adds the entries of a settings file's bytes, read as LoadFromPackfile reads a file's.
  void AddEntries(const std::vector<unsigned char>& bytes);

  // An absent key is added with the default, which later lookups then return.
  std::tstring LoadString(const std::tstring& key, const std::tstring& fallback);
  int LoadInt(const std::tstring& key, int fallback);
  // True before any entry was read or looked up.
  bool Empty() const;

 private:
  void AddLine(const std::tstring& line);

  std::map<std::tstring, std::tstring> entries_;
  std::tstring file_name_;
};

// The dialog's settings file ("dlgconfig.conf"): the same class under its own name.
class DlgConfig : public ConfigBase {};
