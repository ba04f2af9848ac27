// varne-release: the publisher's side of the update protocol. Builds a release site from an install
// image, serves it locally, and checks a deployed list with the updater's own client and parser.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "base/exception.h"
#include "base/progress_line.h"
#include "config/config_base.h"
#include "key_files.h"
#include "net/error_words.h"
#include "package_keys.h"
#include "platform/console.h"
#include "platform/path.h"
#include "platform/socket.h"
#include "release_copies.h"
#include "release_package.h"
#include "site/install_names.h"
#include "site/mirror_list.h"
#include "site/removed_files.h"
#include "site/site_names.h"
#include "site_builder.h"
#include "site_check.h"
#include "site_files.h"
#include "site_roots.h"
#include "site_server.h"
#include "site_signer.h"
#include "site_status.h"

namespace {

constexpr int kUsageError = 2;

const char kUsage[] =
    "usage: varne-release <command> [arguments]\n"
    "\n"
    "  keygen <private-key-file>\n"
    "      writes a new signing key (owner-only) and prints its public key, the value of\n"
    "      serverside_publickey in dlgconfig.conf\n"
    "  root <site-folder> --game <id> --key <private-key-file>... [--threshold <k>]\n"
    "        --timestamp-key <private-key-file> [--sign <private-key-file>...]\n"
    "      prepares the site's next trust root, which the next build signed with its keys\n"
    "      publishes: k of the --key keys (1 unless said) sign each release, the timestamp key\n"
    "      signs filelist.timestamp; a rotation needs --sign with k of the keys of the root\n"
    "      before; the same root twice is one; prints the serverside_game and\n"
    "      serverside_publickey lines for the dlgconfig.conf of the next release's RV7.VPK\n"
    "  build <image-folder> <site-folder> [--listen <host:port>] [--path <url-path>]\n"
    "        [--sign <private-key-file>... [--expires <days>] [--timestamp-key <file>]\n"
    "        [--write-keys] [--mirror <list-url>... | --no-mirrors]] [--no-blocks]\n"
    "        [--follow-links] [--quiet]\n"
    "      the list, one package per file, the files' block data (filelist.blocks and\n"
    "      filelist.fine, none with --no-blocks) and an nginx server block (nginx-site.conf);\n"
    "      with --sign also filelist.sig and filelist.blocks.sig, valid for --expires days\n"
    "      (30, at most 366); refused when the site's last serial is more than a day ahead of\n"
    "      this machine's clock; a site with a root needs --sign with k of its keys and\n"
    "      --timestamp-key, and also gets filelist.timestamp; the image's RV7.VPK must name\n"
    "      the root's keys (without a root, keys that --sign signs for), which --write-keys\n"
    "      writes into its dlgconfig.conf first; --mirror names the site's copies (at most 16,\n"
    "      in the order players try them) in filelist.mirrors, signed with the release; later\n"
    "      signed builds name the same copies until --mirror names others or --no-mirrors none;\n"
    "      links that lead outside the image are refused unless --follow-links is given\n"
    "      defaults: --listen 127.0.0.1:8080 --path /filelist\n"
    "      ends with what changed since the release the site published before and how many\n"
    "      bytes its players fetch\n"
    "  timestamp <site-folder> --timestamp-key <private-key-file> [--hours <h>]\n"
    "      signs filelist.timestamp again for the site's release, valid for h hours (1 to 24,\n"
    "      24 unless said): run it daily, as a scheduled job, on a site with a root\n"
    "  serve <site-folder> [--listen <host:port>] [--connections <n>]\n"
    "      answers the site's URLs over HTTP until stopped (port 0: any free port), at most\n"
    "      n connections at once (16384 unless said), a new one beyond them answered 503\n"
    "  status <site-folder or list-url>... [--quiet]\n"
    "      the release (serial, expiry), its timestamp's expiry and the root (version,\n"
    "      threshold, game) and the copies the site names; exits with 1 when players refuse\n"
    "      the site now or will within 7 days; given several copies of the site (mirrors),\n"
    "      judges each and says whether it serves the first's release (same, older, newer,\n"
    "      different) or is unreachable, and exits with 1 also when one cannot be read or\n"
    "      does not serve the newest release seen\n"
    "  check <list-url>... [--public-key <key-set>] [--deep] [--quiet]\n"
    "      fetches and parses a list as the updater does (proxy from RV7.conf or http_proxy),\n"
    "      then asks for the start of every package, side by side, and names each one that\n"
    "      players could not take; with --public-key (a serverside_publickey value) also\n"
    "      verifies the release's signature, following the site's roots; with either option\n"
    "      installs every file into an empty scratch folder as an update would, checking each\n"
    "      one; given several copies' list URLs (mirrors), checks each copy's packages against\n"
    "      its own list and says per copy whether it serves the first's release and whether\n"
    "      players can fetch every package, exiting with 1 when any copy fails; --public-key\n"
    "      verifies every copy's release, the scratch install is the first copy's alone\n"
    "\n"
    "On a terminal, build and check show files and bytes done, the rate and the time left;\n"
    "--quiet prints errors only.\n";

int Usage(const char* complaint) {
  if (complaint != nullptr) std::fprintf(stderr, "varne-release: %s\n", complaint);
  std::fputs(kUsage, complaint != nullptr ? stderr : stdout);
  return complaint != nullptr ? kUsageError : 0;
}

// Positional arguments and the values of the options the command accepts.
struct Arguments {
  std::vector<std::string> positional;
  std::string listen;
  std::string path;
  std::vector<std::string> sign;
  std::vector<std::string> keys;
  std::vector<std::string> mirrors;
  std::string expires;
  std::string public_key;
  std::string game;
  std::string threshold;
  std::string timestamp_key;
  std::string hours;
  std::string connections;
  bool no_blocks = false;
  bool follow_links = false;
  bool write_keys = false;
  bool no_mirrors = false;
  bool quiet = false;
  bool deep = false;
  bool help = false;
};

std::string* Option(const std::string& name, Arguments& out) {
  if (name == "--listen") return &out.listen;
  if (name == "--path") return &out.path;
  if (name == "--expires") return &out.expires;
  if (name == "--public-key") return &out.public_key;
  if (name == "--game") return &out.game;
  if (name == "--threshold") return &out.threshold;
  if (name == "--timestamp-key") return &out.timestamp_key;
  if (name == "--hours") return &out.hours;
  if (name == "--connections") return &out.connections;
  return nullptr;
}

bool Parse(int argc, char** argv, Arguments& out) {
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      out.help = true;
    } else if (arg == "--no-blocks") {
      out.no_blocks = true;
    } else if (arg == "--follow-links") {
      out.follow_links = true;
    } else if (arg == "--write-keys") {
      out.write_keys = true;
    } else if (arg == "--no-mirrors") {
      out.no_mirrors = true;
    } else if (arg == "--mirror" && i + 1 < argc) {
      out.mirrors.push_back(argv[++i]);
    } else if (arg == "--quiet") {
      out.quiet = true;
    } else if (arg == "--deep") {
      out.deep = true;
    } else if ((arg == "--sign" || arg == "--key") && i + 1 < argc) {
      (arg == "--sign" ? out.sign : out.keys).push_back(argv[++i]);
    } else if (i + 1 < argc && Option(arg, out) != nullptr) {
      *Option(arg, out) = argv[++i];
    } else if (!arg.empty() && arg[0] == '-') {
      return false;
    } else {
      out.positional.push_back(arg);
    }
  }
  return true;
}

bool SplitListen(const std::string& listen, std::uint32_t& address, std::uint16_t& port) {
  const size_t colon = listen.rfind(':');
  if (colon == std::string::npos) return false;
  char* end = nullptr;
  const unsigned long number = std::strtoul(listen.c_str() + colon + 1, &end, 10);
  if (end == listen.c_str() + colon + 1 || *end != '\0' || number > 65535) return false;
  port = static_cast<std::uint16_t>(number);
  const std::string host = listen.substr(0, colon);
  if (platform::ParseIpv4Address(host, address)) return true;
  const auto addresses = platform::ResolveHost(host);
  if (addresses.empty()) return false;
  address = addresses.front();
  return true;
}

// What a publisher weighs before publishing: what changed, and what it costs the players.
void PrintChanges(const SiteSummary& summary, bool blocks) {
  const ReleaseChanges& changes = summary.changes;
  std::printf("new packages: %llu bytes\n", static_cast<unsigned long long>(summary.package_bytes));
  if (!changes.previous) {
    std::printf("no release was published in the site folder before: every file is new\n");
    return;
  }
  std::printf("since the release before: %d added, %d changed, %d removed, %d unchanged\n",
              changes.added, changes.changed, changes.removed, changes.unchanged);
  std::printf("removed files named for players to remove (the last %u releases): %d\n",
              kRemovedKeptReleases, summary.removed_named);
  const double share = changes.release_bytes == 0
                           ? 0
                           : 100.0 * static_cast<double>(changes.patch_bytes) /
                                 static_cast<double>(changes.release_bytes);
  std::printf("a player of the release before fetches %llu bytes, %.1f%% of the release%s\n",
              static_cast<unsigned long long>(changes.patch_bytes), share,
              blocks ? "" : " (whole files: no block data)");
}

// A number written in decimal digits alone, from `least` to `most`.
template <typename Number>
bool ParseNumber(const std::string& text, Number least, Number most, Number& number) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  return error == std::errc() && end == text.data() + text.size() && number >= least &&
         number <= most;
}

// Signing is planned before the build writes anything. Returns the plan; an empty one for an
// unsigned build.
SigningPlan PrepareSigning(const Arguments& args, int days, SiteOptions& options) {
  const std::string& image = args.positional[0];
  const std::string& site = args.positional[1];
  if (args.sign.empty()) {
    // Installs that follow the site's root refuse an unsigned release.
    if (SiteRoot(site).version > 0) {
      throw Exception("the site has a trust root: sign with --sign and --timestamp-key", true);
    }
    return {};
  }
  SigningPlan plan = PlanSigning(site, args.sign, args.timestamp_key, days, std::time(nullptr));
  plan.mirrors = options.mirrors;
  options.sign = [image, plan](const std::string& list, const std::string& blocks,
                               const std::string& removed) {
    return SignSite(image, list, blocks, removed, plan);
  };
  return plan;
}

// Names the keys the build signs under in the image's RV7.VPK.
void WriteKeys(const std::string& image, const SigningPlan& plan) {
  if (plan.root.version == 0) {
    throw Exception(
        "--write-keys writes the keys of the site's trust root: this site has none "
        "(varne-release root makes one)",
        true);
  }
  if (WritePackagedKeys(image, plan.root.keys)) {
    std::fprintf(stderr, "varne-release: %s: dlgconfig.conf now says serverside_publickey=%s\n",
                 kGamePackageName, KeySetText(plan.root.keys).c_str());
  }
}

// Why the build's copies are refused; empty when they are not.
std::string MirrorOptionsFault(const Arguments& args) {
  if (args.mirrors.empty()) return {};
  if (args.no_mirrors) return "--mirror and --no-mirrors exclude each other";
  // Only a key tells the publisher's list of copies from anyone's.
  if (args.sign.empty()) {
    return "--mirror goes with --sign: players follow only copies that the release's keys name";
  }
  if (args.mirrors.size() > kMaxMirrors) return "--mirror names at most 16 copies";
  for (const std::string& url : args.mirrors) {
    if (!IsMirrorUrl(url)) return "--mirror takes an http:// list URL without blanks: " + url;
  }
  return {};
}

int Build(const Arguments& args) {
  if (args.positional.size() != 2) return Usage("build takes an image folder and a site folder");
  SiteOptions options;
  if (!args.listen.empty()) options.listen = args.listen;
  if (!args.path.empty()) options.list_path = args.path;
  options.blocks = !args.no_blocks;
  options.follow_links = args.follow_links;
  if (options.list_path.empty() || options.list_path[0] != '/')
    return Usage("--path must start with /");
  int days = 30;
  if (!args.expires.empty() &&
      (args.sign.empty() || !ParseNumber(args.expires, 1, kMaxExpiresDays, days))) {
    const std::string complaint =
        "--expires takes 1 to " + std::to_string(kMaxExpiresDays) + " days, with --sign";
    return Usage(complaint.c_str());
  }
  if ((!args.timestamp_key.empty() || args.write_keys) && args.sign.empty()) {
    return Usage("--timestamp-key and --write-keys go with --sign");
  }
  if (const std::string fault = MirrorOptionsFault(args); !fault.empty()) {
    return Usage(fault.c_str());
  }
  const SiteLock lock(args.positional[1]);
  options.mirrors = !args.mirrors.empty() || args.no_mirrors
                        ? args.mirrors
                        : RememberedMirrors(args.positional[1]);
  const SigningPlan plan = PrepareSigning(args, days, options);
  if (args.sign.empty() && !options.mirrors.empty()) {
    std::fprintf(stderr,
                 "varne-release: warning: an unsigned release names no copies; the site's next "
                 "signed build names them again (--no-mirrors forgets them)\n");
  }
  if (args.write_keys) WriteKeys(args.positional[0], plan);
  for (const std::string& warning : CheckReleasePackage(
           args.positional[0],
           {options.listen, options.list_path, args.sign.empty() ? nullptr : &plan})) {
    std::fprintf(stderr, "varne-release: warning: %s\n", warning.c_str());
  }
  SiteSummary summary;
  {
    ProgressLine line(std::cerr, ProgressOutputFor(args.quiet));
    options.progress = [&line](const ProgressFigures& figures, const std::string& text) {
      line.Update(figures, text);
    };
    summary = BuildSite(args.positional[0], args.positional[1], options);
  }
  if (args.quiet) return 0;
  std::printf("%d files, %llu bytes: %d packages written, %d kept, %d removed\n", summary.files,
              static_cast<unsigned long long>(summary.bytes), summary.packages_written,
              summary.packages_kept, summary.packages_removed);
  if (options.blocks) {
    std::printf("block data: %llu bytes\n", static_cast<unsigned long long>(summary.block_bytes));
  }
  if (summary.serial != 0) {
    std::printf("signed: serial %llu, expires %s (in %d days)\n",
                static_cast<unsigned long long>(summary.serial), UtcText(plan.expires).c_str(),
                days);
  }
  if (!plan.mirrors.empty()) std::printf("%s\n", CopiesLine(plan.mirrors).c_str());
  if (plan.root.version != 0) {
    std::printf("timestamp: root %llu, expires %s (renew it daily: varne-release timestamp)\n",
                static_cast<unsigned long long>(plan.root.version),
                UtcText(plan.timestamp_expires).c_str());
  }
  std::printf("list URL: http://%s%s\n", options.listen.c_str(), options.list_path.c_str());
  PrintChanges(summary, options.blocks);
  return 0;
}

int Keygen(const Arguments& args) {
  if (args.positional.size() != 1) return Usage("keygen takes a private key file");
  std::printf("%s\n", MakeSigningKey(args.positional[0]).c_str());
  return 0;
}

int Root(const Arguments& args) {
  if (args.positional.size() != 1) return Usage("root takes a site folder");
  RootRequest request{args.game, args.keys, 1, args.timestamp_key, args.sign};
  if (request.game.empty() || request.key_files.empty() || request.timestamp_key_file.empty()) {
    return Usage("root takes --game, --key and --timestamp-key");
  }
  if (!args.threshold.empty() &&
      !ParseNumber(args.threshold, std::size_t{1}, kMaxSignatures, request.threshold)) {
    return Usage("--threshold takes a number of keys");
  }
  const std::string& site = args.positional[0];
  const TrustRoot root = PrepareRoot(site, request);
  const bool waits = PendingRoot(site).version == root.version;
  std::printf(
      "root %llu of %s: releases need %zu of its %zu keys; %s\n",
      static_cast<unsigned long long>(root.version), root.game.c_str(), root.keys.threshold,
      root.keys.keys.size(),
      waits ? "it waits, unseen by players, for the build that publishes it" : "published already");
  if (waits) {
    std::printf(
        "next: build the site with --sign (%zu of its keys) and --timestamp-key (its timestamp "
        "key), from an image whose RV7.VPK's dlgconfig.conf says the two lines below; that build "
        "publishes the root, the release and its timestamp together; until then builds and "
        "timestamps with the keys of today go on as before\n",
        root.keys.threshold);
  }
  std::printf("serverside_game=%s\nserverside_publickey=%s\n", root.game.c_str(),
              KeySetText(root.keys).c_str());
  return 0;
}

int TimestampCommand(const Arguments& args) {
  if (args.positional.size() != 1) return Usage("timestamp takes a site folder");
  constexpr int kMaxHours = kMaxTimestampLife / 3600;
  int hours = kMaxHours;
  if (!args.hours.empty() && !ParseNumber(args.hours, 1, kMaxHours, hours)) {
    return Usage("--hours takes 1 to 24");
  }
  const std::int64_t now = std::time(nullptr);
  const ReleaseSignature release =
      RenewTimestamp(args.positional[0], args.timestamp_key, hours, now);
  if (!args.quiet) {
    std::printf("timestamp signed, expires %s\n",
                UtcText(now + std::int64_t{hours} * 3600).c_str());
  }
  // Said under --quiet too: the daily job is where a publisher would otherwise miss it.
  if (release.expires - now <= kExpiryWarning) {
    std::fprintf(stderr,
                 "varne-release: warning: the site's release expires %s; every player refuses it "
                 "from then on: build it again with --sign before\n",
                 UtcText(release.expires).c_str());
  }
  return 0;
}

SiteDocuments ReadSite(const std::string& where) {
  return where.starts_with("http://") ? FetchSiteDocuments(where) : ReadSiteDocuments(where);
}

int Status(const Arguments& args) {
  if (args.positional.empty()) return Usage("status takes site folders or list URLs");
  if (args.positional.size() == 1) {
    return PrintSiteStatus(JudgeSite(ReadSite(args.positional[0]), std::time(nullptr)), args.quiet);
  }
  // A copy that cannot be read is one copy's fault, said in words among the others.
  const auto read = [](const std::string& where) {
    try {
      return ReadSite(where);
    } catch (const Exception& failure) {
      throw Exception(ExplainedError(failure.GetText()), true);
    }
  };
  return PrintCopiesStatus(args.positional, read, std::time(nullptr), args.quiet);
}

int Check(const Arguments& args) {
  if (args.positional.empty()) return Usage("check takes list URLs");
  if (args.positional.size() == 1) {
    return CheckSite(args.positional[0], args.public_key, args.deep, args.quiet);
  }
  return CheckCopies(args.positional, args.public_key, args.deep, args.quiet);
}

int Serve(const Arguments& args) {
  if (args.positional.size() != 1) return Usage("serve takes a site folder");
  const std::string site = args.positional[0];
  ConfigBase settings;
  settings.Load(site + "/" + kSiteSettingsName);
  const std::string listen =
      args.listen.empty() ? settings.LoadString("listen", "127.0.0.1:8080") : args.listen;
  const std::string path = settings.LoadString("path", "/filelist");
  std::uint32_t address = 0;
  std::uint16_t port = 0;
  if (!SplitListen(listen, address, port)) return Usage("--listen takes <host:port>");
  std::size_t connections = SiteServer::kMaxConnections;
  if (!args.connections.empty() &&
      !ParseNumber<std::size_t>(args.connections, 1, SiteServer::kMaxConnections, connections)) {
    return Usage("--connections takes 1 to 16384");
  }
  SiteServer server(site, path, connections);
  if (!server.Listen(address, port)) {
    std::fprintf(stderr, "varne-release: cannot listen on %s\n", listen.c_str());
    return 1;
  }
  const std::string host = listen.substr(0, listen.rfind(':'));
  std::printf("serving %s\nlist URL: http://%s:%u%s\n", site.c_str(), host.c_str(),
              static_cast<unsigned>(server.GetPort()), path.c_str());
  std::fflush(stdout);
  server.Serve();
}

}  // namespace

int main(int argc, char** argv) {
  platform::UseBinaryStandardStreams();
  if (argc < 2) return Usage("no command given");
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") return Usage(nullptr);
  Arguments args;
  if (!Parse(argc, argv, args)) return Usage("unknown option");
  if (args.help) return Usage(nullptr);
  try {
    if (command == "keygen") return Keygen(args);
    if (command == "root") return Root(args);
    if (command == "build") return Build(args);
    if (command == "timestamp") return TimestampCommand(args);
    if (command == "serve") return Serve(args);
    if (command == "status") return Status(args);
    if (command == "check") return Check(args);
  } catch (const Exception& failure) {
    std::fprintf(stderr, "%s\n", ExplainedError(failure.GetText()).c_str());
    return 1;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "varne-release: %s\n", failure.what());
    return 1;
  }
  return Usage("unknown command");
}
