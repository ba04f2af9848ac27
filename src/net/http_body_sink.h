// Where HttpClient puts a document's body, or a range of it, as it arrives, instead of holding it
// in memory.
#pragma once

#include <cstddef>
#include <cstdint>

// Called on the thread that runs the request, in this order: OnBegin once when the header is
// complete, OnData for each received block, OnEnd once when the whole body is there. A request that
// fails after OnBegin ends without OnEnd; the sink then holds a partial body that the caller throws
// away. Any call may throw an Exception: the request then fails with that text and mark. Request
// holds the client's data lock during these calls; RequestKept does not.
class IHttpBodySink {
 public:
  virtual ~IHttpBodySink() noexcept(false) = default;

  // announced: the server sent a Content-Length and exactly `length` bytes will be delivered.
  // Otherwise `length` is 0 and the body runs until the server closes the connection.
  virtual void OnBegin(bool announced, std::uint32_t length) = 0;
  // The next bytes of the body, in order; never empty.
  virtual void OnData(const std::uint8_t* bytes, std::size_t size) = 0;
  // `size` bytes were delivered in all: the announced length when there was one.
  virtual void OnEnd(std::uint32_t size) = 0;
};

// Where HttpClient::RequestRange puts the bytes of a range, called on the thread that runs the
// request. Any call may throw an Exception: the request then fails with it.
class IHttpRangeSink {
 public:
  virtual ~IHttpRangeSink() noexcept(false) = default;

  // The next bytes of the range, in order; `offset` is the first one's place in the document.
  // Never empty.
  virtual void OnRangeData(std::uint64_t offset, const std::uint8_t* bytes, std::size_t size) = 0;
};
