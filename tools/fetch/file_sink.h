// Writes a document's body to a file, or to standard output, as it arrives.
#pragma once

#include <cstdio>
#include <string>

#include "net/http_body_sink.h"

class FileSink : public IHttpBodySink {
 public:
  // An empty path means standard output. The file is created when the body begins, so a request
  // that fails before that leaves an existing file alone.
  explicit FileSink(std::string path) : path_(std::move(path)) {}
  ~FileSink() noexcept(false) override;
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;

  void OnBegin(bool announced, std::uint32_t length) override;
  void OnData(const std::uint8_t* bytes, std::size_t size) override;
  void OnEnd(std::uint32_t size) override;
  // After a failed request: removes what was written of a regular file, so that no partial
  // document is mistaken for a whole one. Devices such as /dev/null are left alone.
  void Discard();

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
};
