// Feeds arbitrary bytes as a server's reply to HttpClient over a loopback connection, once into
// memory and once into a sink. Whatever the bytes, the client either fails with an Exception or
// delivers the same document both ways; the sanitizers catch everything else.
#include <cstdint>
#include <cstdlib>
#include <cstring>
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

// The document held in memory, or the one given to a sink; false when the request failed.
bool Fetch(HttpClient& client, bool to_sink, std::string& document) {
  StringSink sink;
  try {
    if (to_sink) {
      client.Request("http://127.0.0.1/fuzz", sink);
      document = sink.body;
    } else {
      client.Request("http://127.0.0.1/fuzz");
      document.assign(client.GetDataSize(), '\0');
      client.ReadData(client.GetDataSize(), document.data());
    }
    return true;
  } catch (const Exception&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Fixture* fixture = new Fixture;
  fixture->server.SetReply({{std::string(reinterpret_cast<const char*>(data), size)}});
  std::string held;
  std::string streamed;
  const bool held_ok = Fetch(fixture->client, false, held);
  const bool streamed_ok = Fetch(fixture->client, true, streamed);
  // A document that is whole in memory arrives whole in the sink, byte for byte, and the other
  // way round.
  if (held_ok != streamed_ok || (held_ok && held != streamed)) std::abort();
  return 0;
}
