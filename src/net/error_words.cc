#include "net/error_words.h"

#include <algorithm>
#include <cctype>
#include <string>

#include "platform/socket.h"

namespace {

struct CodeWords {
  int code;
  const char* words;
};

// Socket library numbers, as every system reports them (platform/socket.h).
const CodeWords kSocketWords[] = {
    {10048, "the address and port are in use by another program"},
    {10049, "the address is not one of this machine's"},
    {10050, "the network is down"},
    {10051, "no route leads to that network"},
    {10053, "this machine ended the connection"},
    {10054, "the server, or something between, closed the connection"},
    {platform::kSocketErrorTimedOut, "the host did not answer in time: a firewall may drop it"},
    {platform::kSocketErrorConnectionRefused, "nothing listens at that address and port"},
    {10064, "the host is down"},
    {10065, "no route leads to that host"},
    {platform::kSocketErrorHostNotFound, "no such host name: check its spelling and the DNS"},
    {platform::kSocketErrorTryAgain, "the name server did not answer; try again"},
    {11003, "the name server failed"},
    {11004, "the host name has no address"},
};

// HTTP statuses that the client refuses ("Receive error code : <status>").
const CodeWords kStatusWords[] = {
    {301, "the document moved: the server redirects, and the updater does not follow"},
    {302, "the document moved: the server redirects, and the updater does not follow"},
    {400, "the server did not understand the request"},
    {401, "the server wants credentials"},
    {403, "the server refuses to hand out that document"},
    {404, "the server has no document at that path"},
    {407, "the proxy wants credentials"},
    {416, "the server has no such byte range of the document"},
    {500, "the server failed while answering"},
    {502, "a gateway or proxy got no good answer from the server behind it"},
    {503, "the server is overloaded or down for maintenance"},
    {504, "a gateway or proxy got no answer in time from the server behind it"},
};

}  // namespace

std::string ErrorInWords(const std::string& message) {
  const std::size_t separator = message.rfind(" : ");
  if (separator == std::string::npos) return "";
  const std::string code = message.substr(separator + 3);
  if (code.empty() || code.size() > 6 ||
      !std::all_of(code.begin(), code.end(), [](unsigned char c) { return std::isdigit(c); })) {
    return "";
  }
  const int number = std::stoi(code);
  const bool status = message.find("Receive error code") != std::string::npos;
  const auto find = [number](const auto& table) -> std::string {
    for (const CodeWords& entry : table) {
      if (entry.code == number) return entry.words;
    }
    return "";
  };
  return status ? find(kStatusWords) : find(kSocketWords);
}

std::string ExplainedError(const std::string& message) {
  const std::string words = ErrorInWords(message);
  return words.empty() ? message : message + "\n  that is: " + words;
}
