// argdump ARGS...: prints each argument in hexadecimal on a line of its own, so
// that every byte it was given can be compared.
#include <cstdio>

int main(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        for (const char *byte = argv[i]; *byte; ++byte)
            std::printf("%02x", static_cast<unsigned char>(*byte));
        std::printf("\n");
    }
    return 0;
}
