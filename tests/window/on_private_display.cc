// on_private_display <program> [arguments...]: runs a test program on an Xvfb desktop of its own,
// started and ready before the program, and ended after it. The exit status is the program's.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "virtual_desktop.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: on_private_display <program> [arguments...]\n", stderr);
    return 64;
  }
  test_support::VirtualDesktop desktop;
  if (!desktop.IsRunning()) {
    std::fputs("on_private_display: no Xvfb server could be started\n", stderr);
    return 1;
  }
  const pid_t child = fork();
  if (child == 0) {
    execv(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return 1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
