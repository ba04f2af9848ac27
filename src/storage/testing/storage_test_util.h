// Helpers shared by the storage tests: failure checks and packages made in memory.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "base/exception.h"
#include "platform/text.h"
#include "storage/md5.h"
#include "storage/package_format.h"
#include "storage/package_key.h"

// Runs action and expects an Exception with exactly this text and error mark.
inline void ExpectFailure(const std::function<void()>& action, const std::string& text,
                          bool error = true) {
  try {
    action();
    ADD_FAILURE() << "no exception; expected: " << text;
  } catch (const Exception& failure) {
    EXPECT_EQ(failure.GetText(), text);
    EXPECT_EQ(failure.IsError(), error) << text;
  }
}

// The text of the system's exception that action throws, or "" when it throws none.
inline std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Exception& failure) {
    return failure.GetText();
  }
  return "";
}

// A package laid out as the writer lays it out (each name in UTF-16LE, then its data), built from
// the format's definitions alone. Tests may change the header and records before taking Bytes().
struct TestPackage {
  struct Entry {
    std::string name;
    std::string data;
  };

  TestPackage(std::initializer_list<Entry> entries, std::uint32_t scramble = 1)
      : TestPackage(std::vector<Entry>(entries), scramble) {}
  explicit TestPackage(const std::vector<Entry>& entries, std::uint32_t scramble = 1) {
    header.headerSeed = 1234;
    header.entryCount = entries.size();
    header.dataAreaOffset = kPackageHeaderSize + kPackageRecordSize * entries.size();
    for (const Entry& entry : entries) {
      WPACKAGE_INFO_CELL record;
      record.scrambled = scramble;
      record.recordSeed = 77 + static_cast<std::uint32_t>(records.size());
      std::string name;
      for (const char16_t unit : platform::AnsiToWide(entry.name))
        name += {char(unit), char(unit >> 8)};
      record.nameLength = static_cast<std::uint32_t>(name.size());
      record.nameOffset = header.dataAreaOffset + area.size();
      record.dataOffset = record.nameOffset + name.size();
      record.storedSize = record.sourceSize = entry.data.size();
      MD5().Digest(entry.data.data(), static_cast<std::uint32_t>(entry.data.size()), record.digest);
      std::string data = entry.data;
      if (record.IsScrambled()) {
        KeyStream(NameSeed(record))
            .Apply(reinterpret_cast<std::uint8_t*>(name.data()), name.size());
        KeyStream(DataSeed(record))
            .Apply(reinterpret_cast<std::uint8_t*>(data.data()), data.size());
      }
      area += name + data;
      records.push_back(record);
    }
    header.fileSize = header.dataAreaOffset + area.size();
  }

  std::string Bytes() const {
    std::uint8_t head[kPackageHeaderSize];
    header.Encode(head);
    std::string bytes(reinterpret_cast<char*>(head), sizeof head);
    KeyStream directory(DirectorySeed(GetPackageKey(), header.headerSeed));
    for (const WPACKAGE_INFO_CELL& record : records) {
      std::uint8_t cell[kPackageRecordSize];
      record.Encode(cell);
      directory.Apply(cell, sizeof cell);
      bytes.append(reinterpret_cast<char*>(cell), sizeof cell);
    }
    return bytes + area;
  }
  std::shared_ptr<const std::string> Shared() const {
    return std::make_shared<const std::string>(Bytes());
  }

  PackageHeader header;
  std::vector<WPACKAGE_INFO_CELL> records;
  std::string area;  // the names and data, from the end of the directory on
};
