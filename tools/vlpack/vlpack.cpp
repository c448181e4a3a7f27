// Packs one file into a "._lzma2_" container with the patcher's own writer, for release
// tooling and the demo: vlpack [--plain] <source> <target>.
#include "compressedfile.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    bool preprocess = true;
    int first = 1;
    if (argc > 1 && std::strcmp(argv[1], "--plain") == 0) {
        preprocess = false;
        first = 2;
    }
    if (argc - first != 2) {
        std::fprintf(stderr, "usage: %s [--plain] <source> <target>\n", argv[0]);
        return 2;
    }
    if (!vlpatch::CompressFilePreprocessed(argv[first], argv[first + 1], preprocess)) {
        std::fprintf(stderr, "%s: could not pack %s into %s\n", argv[0], argv[first], argv[first + 1]);
        return 1;
    }
    return 0;
}
