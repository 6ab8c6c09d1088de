// Program mode: checks the library's login from the shell.
#include "kdx.h"

int main(int argc, char** argv) {
    int result = KDXMain(argc, argv);
    // A failed login must not look like success to the shell.
    return KDXFailed ? 1 : result;
}
