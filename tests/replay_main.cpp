// Runs the fuzz target over the files named on the command line, for
// memory checkers that can't run inside a sanitized build.
#include <cstdint>
#include <cstdio>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *, char ***);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    for (int i = 1; i < argc; i++) {
        std::vector<uint8_t> bytes;
        if (FILE *f = std::fopen(argv[i], "rb")) {
            int c;
            while ((c = std::fgetc(f)) != EOF)
                bytes.push_back(uint8_t(c));
            std::fclose(f);
        }
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("replayed %d files\n", argc - 1);
    return 0;
}
