// The engine's test helpers: an install folder as the updater has it, what an update server sends.
#pragma once

#include <string>
#include <vector>

#include "net/testing/scripted_server.h"
#include "storage/md5.h"
#include "storage/testing/storage_test_util.h"
#include "storage/testing/test_folder.h"

namespace update_testing {

using storage_testing::InstallFolder;

// The MD5 of bytes as 32 lower-case hexadecimal digits.
inline std::string Md5Of(const std::string& bytes) {
  return MD5().DigestText(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

// A server's whole answer of body, with its length announced or not.
inline std::string Answer(const std::string& body, bool announce = true) {
  const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return "HTTP/1.0 200 OK\r\n" + (announce ? length : "") + "\r\n" + body;
}
inline net_testing::Reply Whole(const std::string& body, bool announce = true) {
  return {{Answer(body, announce)}};
}
// Sends `head`, then nothing until the server goes.
inline net_testing::Reply SilentAfter(const std::string& head) {
  return {{head, "never sent"}, net_testing::kSilent};
}

// A package of one entry, as the update server sends a file.
inline std::string PackageOf(const std::string& name, const std::string& bytes) {
  return TestPackage({{name, bytes}}).Bytes();
}

inline std::string ListUrl(const net_testing::ScriptedServer& server) {
  return "http://127.0.0.1:" + std::to_string(server.GetPort()) + "/list";
}

}  // namespace update_testing
