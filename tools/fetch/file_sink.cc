#include "file_sink.h"

#include "base/exception.h"
#include "platform/file.h"
#include "platform/path.h"

FileSink::~FileSink() noexcept(false) {
  if (file_ != nullptr && file_ != stdout) std::fclose(file_);
}

void FileSink::OnBegin(bool, std::uint32_t) {
  file_ = path_.empty() ? stdout : std::fopen(path_.c_str(), "wb");
  if (file_ == nullptr) throw Exception("cannot create " + path_, true);
}

void FileSink::OnData(const std::uint8_t* bytes, std::size_t size) {
  if (std::fwrite(bytes, 1, size, file_) != size) throw Exception("write error : " + path_, true);
}

void FileSink::OnEnd(std::uint32_t) {
  const bool closed = file_ == stdout ? std::fflush(file_) == 0 : std::fclose(file_) == 0;
  if (file_ != stdout) file_ = nullptr;
  if (!closed) throw Exception("write error : " + path_, true);
}

void FileSink::Discard() {
  if (path_.empty() || file_ == nullptr) return;
  std::fclose(file_);
  file_ = nullptr;
  // Through the platform layer: std::filesystem reads narrow text as Latin-1 on Windows.
  const std::string written = platform::ToInternalPath(path_);
  if (platform::IsRegularFile(written)) platform::RemoveFile(written);
}
