// vpk: the publisher's package tool. Exit status 0 on success, 1 when the work fails, 2 on a usage
// error; errors go to standard error with the system's own message text.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "base/exception.h"
#include "commands.h"
#include "platform/console.h"

namespace {

constexpr int kUsageError = 2;

struct Command {
  const char* name;
  const char* usage;
  const char* help;
  std::size_t min_args;
  std::size_t max_args;
};

const Command kCommands[] = {
    {"pack", "vpk pack <folder> <package> [--plain] [--follow-links] [--quiet]",
     "Packs every file below <folder> into the new file <package>, names and data scrambled\n"
     "unless --plain is given. Links to folders are not followed; links that lead outside\n"
     "<folder> are refused unless --follow-links is given. An existing <package> is\n"
     "never replaced. On a terminal a line shows files and bytes done, the rate and the time\n"
     "left (also for extract and verify); --quiet prints errors only.",
     2, 2},
    {"list", "vpk list <package>",
     "Prints one line per entry in key order: name, size in bytes, scrambled or plain, and the\n"
     "stored MD5, separated by tabs.",
     1, 1},
    {"extract", "vpk extract <package> <folder> [<name>...] [--quiet]",
     "Writes every entry (or the named ones) to its path below <folder>, creating sub-folders.\n"
     "Names that would leave <folder> are refused. An entry whose bytes differ from its stored\n"
     "MD5 is not written, and extraction stops there with status 1.",
     2, ~std::size_t{0}},
    {"cat", "vpk cat <package> <name>", "Writes one entry's bytes to standard output.", 2, 2},
    {"verify", "vpk verify <package> [--quiet]",
     "Recomputes every entry's MD5 and prints the entries whose digest differs from the stored\n"
     "one; exit status 1 if any does.",
     1, 1},
};

void PrintToolHelp(std::FILE* out) {
  std::fprintf(out, "usage: vpk <command> [arguments]   (vpk <command> --help for details)\n\n");
  for (const Command& command : kCommands) std::fprintf(out, "  %s\n", command.usage);
}

int UsageError(const std::string& text, const Command* command) {
  std::fprintf(stderr, "vpk: %s\n", text.c_str());
  if (command) {
    std::fprintf(stderr, "usage: %s\n", command->usage);
  } else {
    PrintToolHelp(stderr);
  }
  return kUsageError;
}

struct Flags {
  bool plain = false;
  bool follow_links = false;
  bool quiet = false;
};

int Run(const Command& command, const std::vector<std::string>& args, Flags flags) {
  const std::string name = command.name;
  const ProgressOutput progress = ProgressOutputFor(flags.quiet);
  if (name == "pack") return vpk::Pack(args[0], args[1], flags.plain, flags.follow_links, progress);
  if (name == "list") return vpk::List(args[0], stdout);
  if (name == "extract") {
    return vpk::Extract(args[0], args[1], {args.begin() + 2, args.end()}, progress);
  }
  if (name == "cat") return vpk::Cat(args[0], args[1], stdout);
  return vpk::Verify(args[0], stdout, progress);
}

// The commands whose work is long enough to show progress.
bool TakesQuiet(const Command& command) {
  const std::string name = command.name;
  return name == "pack" || name == "extract" || name == "verify";
}

int Dispatch(const Command& command, int argc, char** argv) {
  std::vector<std::string> args;
  Flags flags;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::printf("usage: %s\n\n%s\n", command.usage, command.help);
      return 0;
    }
    const bool packing = std::strcmp(command.name, "pack") == 0;
    if (arg == "--plain" && packing) {
      flags.plain = true;
    } else if (arg == "--follow-links" && packing) {
      flags.follow_links = true;
    } else if (arg == "--quiet" && TakesQuiet(command)) {
      flags.quiet = true;
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
      return UsageError("unknown option " + arg, &command);
    } else {
      args.push_back(arg);
    }
  }
  if (args.size() < command.min_args || args.size() > command.max_args) {
    return UsageError("wrong number of arguments", &command);
  }
  try {
    return Run(command, args, flags);
  } catch (const Exception& failure) {
    std::fprintf(stderr, "vpk: %s\n", failure.GetText().c_str());
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "vpk: %s\n", failure.what());
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  platform::UseBinaryStandardStreams();
  if (argc < 2) return UsageError("no command given", nullptr);
  const std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintToolHelp(stdout);
    return 0;
  }
  for (const Command& command : kCommands) {
    if (name == command.name) return Dispatch(command, argc, argv);
  }
  return UsageError("unknown command " + name, nullptr);
}
