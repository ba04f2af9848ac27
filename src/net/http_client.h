// Fetches one document at a time with an HTTP/1.0 GET over a connection of its own, directly or
// through an HTTP proxy. Either the whole document is held until the next request (Request, then
// GetDataSize and ReadData), or each block is handed to a sink as it arrives (Request with a sink).
// A byte range of a document (RequestRange), or a whole document (RequestKept), is fetched with an
// HTTP/1.1 GET over a connection that is kept for the next such request, in a pool of kept
// connections that several clients may share (UsePool). The client builds the requests and judges
// the replies; the connections carry them (net/http_connection.h).
//
// Nothing waits for ever: a connection not made within net_limits' connect limit, a request
// during which nothing is sent or received for its idle limit, or a reply that arrives slower
// than the rate floor over its window, fails (net/time_limits.h).
//
// One thread runs the requests; another may call SetAbort at any time. Locks, always taken in this
// order: the settings lock for a whole request, then the data lock from the header to the end of
// the body, so other threads that read the sizes wait for the body to end. The hook runs under the
// hook lock, and from the header on with the data lock released, so a hook may read the sizes: it
// is how progress reaches other threads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "base/critical_section.h"
#include "base/tstring.h"
#include "net/http_body_sink.h"
#include "net/http_connection.h"
#include "net/range_reply.h"
#include "net/time_limits.h"
#include "net/winsock_base.h"

class ConnectionPool;
class RateCap;

class HttpClient : public WinsockBase, private HttpConnection::Caller {
 public:
  // Notification codes passed to the hook, in the order a request meets them (16 is not used).
  enum Step : int {
    kStepBegun = 1,       // previous document dropped
    kStepUrlRefused = 2,  // scheme is not "http"; the failure follows
    kStepCreatingSocket = 3,
    kStepConnectFailed = 4,  // socket, host not found or connection failed; the failure follows
    kStepConnected = 5,
    kStepSending = 6,
    kStepSendFailed = 7,  // the failure follows
    kStepSent = 8,
    kStepAfterSent = 12,
    kStepReceivingHeader = 9,
    kStepHeaderReceiveFailed = 10,  // the failure follows
    kStepHeaderRefused = 13,        // the failure follows
    kStepHeaderComplete = 14,
    kStepReceivingBody = 15,
    kStepBlockStored = 11,  // once per received block; the received count includes it
    kStepBodyComplete = 17,
    kStepClosing = 18,
    kStepClosed = 19,
  };
  // The hook's result is ignored.
  using Hook = int (*)(int step, HttpClient* client, std::uintptr_t user);

  // Throws what WinsockBase throws.
  HttpClient();
  ~HttpClient() noexcept(false) override;

  // "host:port" (split at the last colon) turns the proxy on; an empty text turns it off. A text
  // without a colon or with a port outside 1..65535 turns it off and throws.
  void SetProxy(const std::tstring& text);
  void SetUserAgent(const std::tstring& text);
  // The port of direct connections to a URL that names none (80 unless set otherwise).
  void SetDirectPort(int port);
  void SetHook(Hook hook, std::uintptr_t user);
  // Read at every received body block and every 50 ms of any wait on the network (name lookup,
  // connection, sending, header, body), so a request ends within that time with "Abort by User.".
  // The flag stays set until the owner clears it: an abort asked for between two requests ends
  // the next one instead of being forgotten when it begins.
  void SetAbort(bool abort) { abort_ = abort; }
  // A stop requested on this token aborts the transfer as SetAbort(true) does: every wait looks
  // at it, so no callback has to run on the stopping thread.
  void SetStop(std::stop_token stop) { stop_ = std::move(stop); }
  // Kept connections are taken from and given back to this pool, shared with other clients. None:
  // the client keeps them in a pool of its own, of one idle connection per server.
  void UsePool(std::shared_ptr<ConnectionPool> pool);
  // Every receive of this client takes its bytes from the cap, shared with other clients. None:
  // no cap.
  void UseRateCap(std::shared_ptr<RateCap> cap);
  // The connect and idle limits of this client's requests; none: the process's (net/time_limits.h).
  // Set between requests.
  void SetLimits(std::optional<net_limits::Limits> limits) { limits_ = limits; }

  // GETs the url and holds the document; returns 0. Throws Exception on any failure and then holds
  // no document.
  int Request(std::tstring url);
  // The same, handing the body to the sink instead of holding it. A body shorter than its
  // Content-Length is a failure here, since no ReadData follows to notice it.
  int Request(std::tstring url, IHttpBodySink& sink);

  // GETs bytes first..last (one range, 64-bit offsets) of the url with "Range: bytes=first-last"
  // and hands each block of the body with its offset in the document to the sink; memory stays
  // within one block whatever the range's length. The reply's header is judged whole before any
  // byte reaches the sink (net/range_reply.h). A verdict that is not `served` (200 or 416) means
  // the server does not serve ranges here: nothing was delivered and the caller fetches the whole
  // document. Any other reply that is not exactly the range asked for, and a body cut short,
  // throw HttpClientException ("range reply error : ..."); blocks delivered before such a failure
  // are to be thrown away.
  //
  // The connection is kept for the next request to the same host and port through the same
  // proxy, unless the reply leaves any doubt about where it ended. A kept connection that the
  // server closed before a byte of the reply is replaced once by a new one. The hook sees the
  // connection and request steps; the body's progress is the sink's. The held document and its
  // sizes are left as they are.
  range_reply::Verdict RequestRange(std::tstring url, std::uint64_t first, std::uint64_t last,
                                    IHttpRangeSink& sink);
  // GETs the whole document over a kept connection as RequestRange does a range, with the same
  // request but for the Range field, and hands its body to the sink. The reply must be a 200 framed
  // by its Content-Length alone (net/range_reply.h); a body cut short fails. Returns whether the
  // connection was kept: the reply was HTTP/1.1 without "Connection: close" and ended exactly, so a
  // server that closes after every reply shows as one. The sink's calls are made without the data
  // lock.
  bool RequestKept(std::tstring url, IHttpBodySink& sink);

  // One range of a document and where its bytes go.
  struct RangeAsk {
    std::uint64_t first = 0, last = 0;
    IHttpRangeSink* sink = nullptr;
  };
  struct Batch {
    std::size_t answered = 0;  // the ranges answered, from the first
    bool served = true;        // false: the range after them was not served (see RequestRange)
  };
  // GETs several ranges of the url over one kept connection as RequestRange does one, every
  // request sent before the first reply is read, so that one round trip carries them all.
  // `answered(i)` is called once range i's bytes have all reached its sink; ranges are answered
  // in order. Fewer are answered than asked when a reply was not a range, or when the server ended
  // the connection after a reply, as it may: the caller asks for the rest again. Failures throw as
  // RequestRange's do, and the ranges answered before them stay answered.
  Batch RequestRanges(std::tstring url, std::span<const RangeAsk> asks,
                      const std::function<void(std::size_t)>& answered);

  // The Content-Length, or the received total when the server sent none.
  std::uint32_t GetDataSize();
  std::uint32_t GetReceivedSize();
  // The status line of the last reply ("HTTP/1.1 200 OK"); empty before the first.
  std::tstring GetStatusLine();
  // Copies the first size bytes of the held document; throws when there is none, the destination
  // is null, or fewer bytes were received.
  void ReadData(std::uint32_t size, void* destination);

 private:
  // Body and header bytes are received in blocks of this size; abort is also checked once per
  // block.
  static constexpr std::size_t kBlockSize = 64 * 1024;

  // Where a request goes and what it asks for.
  struct Route {
    std::tstring host;  // connected to: the URL's host, or the proxy's
    int port = 80;
    std::tstring target;  // the path, or the whole URL for a proxy
    std::tstring server;  // the URL's host and port, which a proxy reaches for us
    int server_port = 80;
  };
  struct KeptReply;

  int Run(const std::tstring& url, IHttpBodySink& sink, bool require_whole);
  void DropDocument();
  Route SplitUrl(const std::tstring& url);
  std::unique_ptr<HttpConnection> Connect(const Route& route);
  std::tstring RequestText(const Route& route) const;
  std::tstring KeptRequestText(const Route& route, const std::tstring& fields) const;
  // With may_retry, a connection failure before any byte of the reply returns false (send) or
  // nothing (header) instead of failing: the connection was a kept one the server has closed.
  bool SendRequest(HttpConnection& connection, const std::tstring& text, bool may_retry);
  // `carried`: bytes of this reply received with the one before it.
  std::optional<std::string> ReceiveHeader(HttpConnection& connection,
                                           std::vector<std::uint8_t>& buffer, bool may_retry,
                                           std::string_view carried);
  std::optional<std::string> Exchange(HttpConnection& connection, const std::tstring& text,
                                      std::vector<std::uint8_t>& buffer, bool may_retry);
  ConnectionPool& Pool();
  std::tstring KeptKey(const Route& route) const;
  // GETs the url with HTTP/1.1, once for each of `fields` (whole lines after the User-Agent), over
  // a quiet kept connection to its server, or over a new one when there is none or the server
  // closed it before a byte of the reply. Returns with the first reply's header received.
  KeptReply ExchangeKept(const std::tstring& url, const std::vector<std::tstring>& fields);
  Batch Pipeline(const std::tstring& url, std::span<const RangeAsk> asks,
                 const std::function<void(std::size_t)>& answered, range_reply::Verdict& verdict);
  // Sends the requests a new connection held back, and receives the next reply's header; false
  // when the server ended the connection before it.
  bool NextReply(KeptReply& reply, std::string_view carried);
  // Receives the verdict's length of body, handing it to the sink from `offset` on, and not a byte
  // more from the connection. Returns the bytes beyond the body that came with the header: the
  // start of the next reply. `what` begins the text of a body cut short.
  std::string ReceiveKept(KeptReply& reply, std::uint64_t offset,
                          const range_reply::Verdict& verdict, IHttpRangeSink& sink,
                          const char* what);
  std::string ReceiveExactly(KeptReply& reply, std::uint64_t offset, std::uint64_t length,
                             IHttpRangeSink& sink, const char* what);
  void CheckStatus();
  std::uint32_t CheckHeader(bool& announced);
  void ReceiveBody(HttpConnection& connection, std::vector<std::uint8_t>& buffer,
                   const std::string& first_block, IHttpBodySink& sink, bool require_whole);
  void StoreBlock(const std::uint8_t* bytes, std::size_t size, IHttpBodySink& sink);
  [[noreturn]] void Fail(int step, const std::tstring& text);
  // A reply's header that did not come: the network's failure.
  [[noreturn]] void FailToReceive(const std::tstring& text);
  void Notify(int step);
  void CallHook(int step);

  // What the connections ask of the request that uses them.
  bool Aborted() const override { return abort_ || stop_.stop_requested(); }
  RateCap* Cap() const override { return cap_.get(); }
  void Announce(HttpConnection::Failing failing) override;
  const net_limits::Limits& Limits() const override {
    return limits_ ? *limits_ : net_limits::Get();
  }

  // Settings, under settings_lock_.
  int direct_port_ = 80;
  std::tstring user_agent_ = "V-Lib Http Client";
  bool proxy_enabled_ = false;
  std::tstring proxy_host_;
  int proxy_port_ = 80;
  // Made at the first kept request when no pool was handed over.
  std::shared_ptr<ConnectionPool> pool_;
  std::shared_ptr<RateCap> cap_;

  std::atomic<bool> abort_ = false;
  std::stop_token stop_;
  std::optional<net_limits::Limits> limits_;

  // Reply state, under data_lock_.
  std::vector<std::tstring> header_lines_;
  std::vector<std::uint8_t> document_;
  bool has_document_ = false;
  bool announced_ = false;
  std::uint32_t length_ = 0;
  std::uint32_t received_ = 0;

  // Under hook_lock_.
  Hook hook_ = nullptr;
  std::uintptr_t hook_user_ = 0;

  CriticalSection settings_lock_;
  CriticalSection data_lock_;
  CriticalSection hook_lock_;
};
