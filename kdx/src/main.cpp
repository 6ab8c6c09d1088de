// Program mode: checks the library's login from the shell.
#include "arbor_version.h"
#include "kdx.h"

#include <cstdio>
#include <strings.h>

int main(int argc, char** argv) {
    // Options of its own are compared without case and others ignored; these
    // two are answered before any login.
    if (argc > 1 && strcasecmp(argv[1], "--version") == 0) {
        printf("kdx %s (library interface %d)\n", ARBOR_VERSION, KDXGetAPIVersion());
        return 0;
    }
    if (argc > 1 && strcasecmp(argv[1], "--help") == 0) {
        puts("usage: kdx [option...]\n"
             "Logs in to the directory as the agents do and prints the result; see kdx(1).");
        return 0;
    }
    int result = KDXMain(argc, argv);
    // A failed login must not look like success to the shell.
    return KDXFailed ? 1 : result;
}
