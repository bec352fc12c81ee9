#include <cstdio>
#include <cstring>

#include "entry/RunProcess.h"

// argv[0] takes the place of the "dummy" element of a split command line.
int main(int argc, char** argv)
{
    // No interface is named "--help"; the manual page is made from this text.
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::printf(
            "Usage: sipper INTERFACE LOG_FILE CONFIG_FILE\n\n"
            "The sipper component: serves its commands on the shared-memory interface INTERFACE,\n"
            "writes its numbered log to LOG_FILE (afresh at each start) and reads CONFIG_FILE and\n"
            "the plate files it names. It ends in order on \"kill\", SIGTERM, SIGINT or SIGHUP.\n\n"
            "Exit status: 0 ended by kill or a signal, 1 ended by an error, 2 bad arguments or a\n"
            "configuration that does not load (the reason is on standard error).\n");
        return 0;
    }
    return run_process(argc, argv);
}
