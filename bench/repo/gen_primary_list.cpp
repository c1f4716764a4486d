// Writes a synthetic primary list (gzip-compressed rpm-md layout).
//
//   gen_primary_list FILE [packages]   (default 50000)
#include <cstdio>
#include <cstdlib>

#include "primary_list_gen.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE [packages]\n", argv[0]);
        return 2;
    }
    size_t count = argc > 2 ? strtoul(argv[2], nullptr, 10) : 50000;
    if (!writePrimaryList(argv[1], count)) {
        perror(argv[1]);
        return 1;
    }
    return 0;
}
