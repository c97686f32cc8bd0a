// DROPPAIR: pairs the particles that the two cameras of the distrometer saw in one raw data file
// and writes them with their sizes and fall speeds to the particle file.
// Usage: droppair [--follow[=SECONDS]] [--quiet] V*.ab, or droppair --help.
#include "control/startup.h"

int main(int argc, char** argv) { return dp::run_program(argc, argv); }
