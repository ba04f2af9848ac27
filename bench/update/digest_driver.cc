// Checks the files named by an md5sum list in the current folder with the update check's
// digest-ahead workers, as `md5sum -c` checks them: a benchmark driver for digest_bench.sh.
#include <cstdio>
#include <fstream>
#include <stop_token>
#include <string>

#include "update/digest_ahead.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: digest_driver <md5sum-list>\n");
    return 2;
  }
  FileList list;
  std::ifstream sums(argv[1]);
  // md5sum writes "<32 hex digits>  <name>" (a '*' before binary names).
  for (std::string line; std::getline(sums, line);) {
    if (line.size() < 35) continue;
    std::tstring path = line.substr(34);
    path.ToBackslashes();
    list.push_back({path, "0", line.substr(0, 32)});
  }
  DigestAhead ahead(list, std::stop_token());
  std::size_t differ = 0;
  for (std::size_t i = 0; i < list.size(); ++i) differ += ahead.Take(i) != list[i].md5;
  std::printf("%zu files checked, %zu differ\n", list.size(), differ);
  return differ == 0 ? 0 : 1;
}
