// Reads one attribute through libkdx, logged in as "Internet Services": proves that
// what the setup tool wrote is usable by the agents. Prints one value per line.
#include "kdx.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <object> <attribute>\n", argv[0]);
        return 2;
    }
    if (!KDXInit()) {
        std::printf("login failed\n");
        return 1;
    }
    KDXValueStruct* vs = KDXInitValueStruct(nullptr, nullptr);
    if (!vs) return 1;
    int n = KDXReadDN(argv[1], argv[2], vs);
    if (n == 0) n = KDXRead(argv[1], argv[2], vs);
    for (uint32_t i = 0; i < vs->Used; ++i)
        std::printf("%s\n", vs->Value[i]);
    KDXDestroyValueStruct(vs);
    KDXShutdown();
    return n > 0 ? 0 : 3;
}
