#include "ui/dib_image_loaders.h"

DibImageLoaders::DibImageLoaders() { loaders_.push_back(std::make_unique<DibBmpLoader>()); }

void DibImageLoaders::Add(std::unique_ptr<IDibImageLoader> loader) {
  loaders_.push_back(std::move(loader));
}

bool DibImageLoaders::Load(DibSection* target, const std::tstring& path, bool try_file_first) {
  for (const auto& loader : loaders_) {
    if (loader->Load(target, path, try_file_first)) return true;
  }
  return false;
}
