#include <climits>
#include <cstring>
#include <optional>
#include <vector>

#include "base/exception.h"
#include "platform/bitmap_file.h"
#include "platform/file.h"
#include "storage/i_file_manager.h"
#include "storage/opened_file.h"
#include "ui/dib_image_loaders.h"

namespace {

// The fields of the file and DIB headers that decoding needs.
struct BmpFields {
  std::uint32_t pixel_offset;
  std::int32_t width;
  std::int32_t height;
  std::uint16_t bit_count;
  std::uint32_t compression;
  std::uint32_t colors_used;
};

std::uint32_t ReadU32(const std::uint8_t* at) {
  return at[0] | (at[1] << 8) | (at[2] << 16) | (std::uint32_t{at[3]} << 24);
}

[[noreturn]] void Refuse(const char* message) { throw DibBmpLoaderException(message); }

void RequireSize(std::uint32_t size, std::uint32_t needed) {
  if (size < needed) Refuse("Data size error.");
}

BmpFields ReadHeaders(const std::uint8_t* data, std::uint32_t size) {
  RequireSize(size, 2);
  if (data[0] != 'B' || data[1] != 'M') Refuse("Not Bitmap File.");
  RequireSize(size, 14);
  BmpFields fields{};
  fields.pixel_offset = ReadU32(data + 10);
  RequireSize(size, 18);
  if (ReadU32(data + 14) < 40) Refuse("Data Size Error.");
  RequireSize(size, 54);
  fields.width = static_cast<std::int32_t>(ReadU32(data + 18));
  fields.height = static_cast<std::int32_t>(ReadU32(data + 22));
  fields.bit_count = static_cast<std::uint16_t>(data[28] | (data[29] << 8));
  fields.compression = ReadU32(data + 30);
  fields.colors_used = ReadU32(data + 46);
  return fields;
}

// Bytes that pad each pixel row of the file to a multiple of 4.
std::uint32_t RowPadding(const BmpFields& fields) {
  const std::uint32_t width = static_cast<std::uint32_t>(fields.width);
  switch (fields.bit_count) {
    case 8:
      return (4 - width % 4) % 4;
    case 24:
      return (4 - (3 * width) % 4) % 4;
    case 32:
      return 0;
    default:
      Refuse("未対応のカラーフォーマット");
  }
}

// Copies the rows into target, which holds a bitmap of the file's size, and the file holds every
// row. A file with a negative height stores its rows top-down; the bitmap always holds them
// bottom-up.
void CopyRows(DibSection* target, const std::uint8_t* data, const BmpFields& fields,
              std::uint64_t row_length) {
  const bool top_down = fields.height < 0;
  const int rows = top_down ? -fields.height : fields.height;
  for (int r = 0; r < rows; ++r) {
    std::memcpy(target->GetRow(top_down ? rows - 1 - r : r),
                data + fields.pixel_offset + r * row_length, row_length);
  }
}

// The whole disk file, or nothing when it cannot be read or is larger than a decoder takes.
std::vector<std::uint8_t> ReadDiskFile(const std::tstring& path) {
  platform::File file;
  if (file.Open(path, platform::Access::kRead, platform::Share::kReadWrite,
                platform::Disposition::kOpenExisting) != platform::OpenError::kNone) {
    return {};
  }
  const std::int64_t length = file.Length();
  if (length <= 0 || length > UINT32_MAX) return {};
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
  if (file.Read(bytes.data(), bytes.size()) != length) return {};
  return bytes;
}

}  // namespace

bool DibBmpLoader::Load(DibSection* target, std::tstring path, bool try_file_first) {
  if (try_file_first && LoadFromFile(target, path)) return true;
  if (LoadThroughFileManager(target, path)) return true;
  target->Destroy();
  return false;
}

bool DibBmpLoader::LoadFromFile(DibSection* target, const std::tstring& path) {
  target->Destroy();
  try {
    const std::vector<std::uint8_t> bytes = ReadDiskFile(path);
    if (bytes.empty()) return false;
    return DecodeBmp(target, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  } catch (...) {
    target->Destroy();
  }
  return LoadThroughSystem(target, path);
}

bool DibBmpLoader::LoadThroughSystem(DibSection* target, const std::tstring& path) {
  // Kinds of BMP that the decoder leaves out (palettes, run-length compression) are the system's
  // to read where it has a loader; the picture then becomes 32-bit, so that its key colour and
  // region work as for any skin.
  const std::optional<platform::SystemBitmap> picture = platform::LoadSystemBitmap(path);
  if (!picture || !target->Create(32, picture->width, picture->height)) return false;
  const std::size_t row = std::size_t{4} * static_cast<std::size_t>(picture->width);
  for (int r = 0; r < picture->height; ++r) {
    std::memcpy(target->GetRow(r), picture->pixels.data() + r * row, row);
  }
  return true;
}

bool DibBmpLoader::LoadThroughFileManager(DibSection* target, const std::tstring& path) {
  IFileManager* files = Singleton<IFileManager>::GetInstance();
  if (files == nullptr) return false;
  try {
    // Closing also releases a locked block.
    const OpenedFile file(*files, path.c_str(), kOpenBinaryReadOnly);
    if (!file) Refuse("File Open Error.");
    const auto size = static_cast<std::uint32_t>(files->GetSize(file.handle()));
    void* block = nullptr;
    // A partial lock would leave the decoder reading past the bytes it was given.
    if (files->Lock(file.handle(), size, &block) != kResultOk) block = nullptr;
    DecodeBmp(target, block, size);
    files->Unlock(file.handle());
    return true;
  } catch (...) {
    return false;
  }
}

bool DibBmpLoader::DecodeBmp(DibSection* target, const void* data, std::uint32_t size) {
  if (data == nullptr) Refuse("NULL pointer!!");
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  const BmpFields fields = ReadHeaders(bytes, size);
  const std::uint32_t padding = RowPadding(fields);
  if (fields.compression != kBiRgb) Refuse("圧縮形式は非対応");
  if (fields.colors_used != 0) Refuse("カラーパレットには非対応");
  target->Destroy();
  if (fields.width <= 0 || fields.height == 0 || fields.height == INT_MIN) {
    Refuse("Image Size Error.");
  }
  const std::uint64_t row_length =
      std::uint64_t{fields.bit_count / 8u} * std::uint32_t(fields.width) + padding;
  const std::uint64_t rows = fields.height < 0 ? -std::int64_t{fields.height} : fields.height;
  // Checked before the bitmap is made, so a header that claims more pixels than the file holds
  // costs no memory.
  if (rows * row_length + fields.pixel_offset > size) Refuse("Data Size Error.");
  if (!target->Create(fields.bit_count, fields.width, static_cast<int>(rows))) {
    Refuse("Bitmap Create Error.");
  }
  CopyRows(target, bytes, fields, row_length);
  return true;
}
