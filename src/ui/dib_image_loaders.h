// The image loaders that DibSection::Load asks in turn, and the one for Windows BMP files.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/singleton.h"
#include "base/tstring.h"
#include "ui/dib_section.h"

class IDibImageLoader {
 public:
  virtual ~IDibImageLoader() = default;
  // True when the image at path is now in target. try_file_first asks to read the disk file before
  // looking among the file manager's files.
  virtual bool Load(DibSection* target, std::tstring path, bool try_file_first) = 0;
};

// The process's loaders, in the order they are asked. Created by the first image load and owned by
// the SingletonManager from then on; used on the user-interface thread only.
class DibImageLoaders : public Singleton<DibImageLoaders> {
 public:
  // Starts with a DibBmpLoader.
  DibImageLoaders();
  ~DibImageLoaders() noexcept(false) override = default;

  // Asked after the loaders already there; a view adds the formats its toolkit reads.
  void Add(std::unique_ptr<IDibImageLoader> loader);
  // True when one of the loaders, asked in order, loaded the image.
  bool Load(DibSection* target, const std::tstring& path, bool try_file_first);

 private:
  std::vector<std::unique_ptr<IDibImageLoader>> loaders_;
};

// Uncompressed BMP files of 24 or 32 bits without a palette, from disk or from the file manager;
// on disk also any BMP that the system's own loader reads.
class DibBmpLoader : public IDibImageLoader {
 public:
  bool Load(DibSection* target, std::tstring path, bool try_file_first) override;

  // The disk file at path, decoded by DecodeBmp, or else by the system (LoadThroughSystem); false
  // on any failure.
  static bool LoadFromFile(DibSection* target, const std::tstring& path);
  // The disk file at path as the system's image loader reads it, made a 32-bit picture; false
  // where the system cannot read it or has no loader.
  static bool LoadThroughSystem(DibSection* target, const std::tstring& path);
  // The file manager's file of that name; false on any failure (the decoder's messages stay
  // inside).
  static bool LoadThroughFileManager(DibSection* target, const std::tstring& path);
  // Decodes a whole BMP file held in memory into target; every refusal is a
  // DibBmpLoaderException, after which target may be empty.
  static bool DecodeBmp(DibSection* target, const void* data, std::uint32_t size);
};
