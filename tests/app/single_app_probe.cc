// single_app_probe <name>: exit status 0 when the single-instance check lets this copy run,
// 2 when another copy holds the name.
#include "app/single_app.h"

int main(int argc, char** argv) {
  if (argc != 2) return 1;
  SingleApp app;
  return app.Check(argv[1]) ? 0 : 2;
}
