#include "entry/RunProcess.h"

// argv[0] takes the place of the "dummy" element of a split command line.
int main(int argc, char** argv) { return run_process(argc, argv); }
