// Fetches a list document as the engine does and prints how many entries it held and one SHA-256
// over every parsed field, so that two builds can be shown to parse a list alike; list_memory.sh
// runs it under /usr/bin/time for its peak memory.
#include <cstdio>

#include "base/exception.h"
#include "base/hex.h"
#include "platform/crypto.h"
#include "update/release_protocol.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: list_driver <list-url>\n");
    return 2;
  }
  try {
    HttpClient client;
    FileList list;
    FetchFileList(client, argv[1], list);
    platform::Sha256 fields;
    for (const FileEntry& entry : list) {
      // Each field ends with a byte that none holds, so no two lists give the same stream.
      for (const std::tstring* field : {&entry.path, &entry.orgsize, &entry.md5}) {
        fields.Update(field->data(), field->size());
        fields.Update("\n", 1);
      }
    }
    const platform::Sha256Digest digest = fields.Final();
    std::printf("%zu entries, fields SHA-256 %s\n", list.size(), EncodeHex(digest).c_str());
    return 0;
  } catch (const Exception& failure) {
    std::fprintf(stderr, "%s\n", failure.GetText().c_str());
    return 1;
  }
}
