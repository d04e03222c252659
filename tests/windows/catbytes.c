/* catbytes FILE: writes the file's bytes to standard output unchanged, as a job
   that writes binary output does. cmd.exe's "type" stops at a NUL under Wine. */
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

int main(int argc, char **argv)
{
    FILE *file = argc == 2 ? fopen(argv[1], "rb") : NULL;
    if (!file)
        return 2;
    _setmode(_fileno(stdout), _O_BINARY);
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0)
        fwrite(buffer, 1, got, stdout);
    return 0;
}
