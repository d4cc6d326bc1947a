// The entry where the C library starts the program and hands it the
// arguments. The Windows program starts at RunTool, and its link drops this.
#include "cli/run_tool.h"
#include "io/io.h"

int main(int argc, char** argv) {
  KeepArguments(argc, argv);
  RunTool();
}
