// Feeds arbitrary bytes as a server's reply to HttpClient over a loopback connection, once into
// memory and once into a sink. Whatever the bytes, the client either fails with an Exception or
// delivers the same document both ways; the sanitizers catch everything else.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "base/exception.h"
#include "net/http_client.h"
#include "net/testing/scripted_server.h"

namespace {

class StringSink : public IHttpBodySink {
 public:
  void OnBegin(bool, std::uint32_t) override {}
  void OnData(const std::uint8_t* bytes, std::size_t size) override {
    body.append(reinterpret_cast<const char*>(bytes), size);
  }
  void OnEnd(std::uint32_t) override {}
  std::string body;
};

// Built once: one server thread and one client serve every input.
struct Fixture {
  net_testing::ScriptedServer server;
  HttpClient client;
  Fixture() { client.SetDirectPort(server.GetPort()); }
};

// The document held in memory, or the one given to a sink; none when the request failed.
std::optional<std::string> Fetch(HttpClient& client, bool to_sink) {
  StringSink sink;
  try {
    if (to_sink) {
      client.Request("http://127.0.0.1/fuzz", sink);
      return sink.body;
    }
    client.Request("http://127.0.0.1/fuzz");
    std::string document(client.GetDataSize(), '\0');
    client.ReadData(client.GetDataSize(), document.data());
    return document;
  } catch (const Exception&) {
    return std::nullopt;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Fixture* fixture = new Fixture;
  fixture->server.SetReplies({{{std::string(reinterpret_cast<const char*>(data), size)}}});
  // A document that is whole in memory arrives whole in the sink, byte for byte, and the other
  // way round.
  if (Fetch(fixture->client, false) != Fetch(fixture->client, true)) std::abort();
  return 0;
}
