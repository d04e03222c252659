// linewriter TAG COUNT: writes COUNT distinct lines of 1 to 300 bytes to standard
// output in small writes that cut lines anywhere, as a job that flushes often does.
#include <cstdlib>
#include <functional>
#include <random>
#include <string>

#include <unistd.h>

int main(int argc, char *argv[])
{
    if (argc != 3)
        return 2;
    const std::string tag = argv[1];
    const long count = std::strtol(argv[2], nullptr, 10);
    std::mt19937 random(unsigned(std::hash<std::string>{}(tag)));
    std::string output;
    for (long i = 0; i < count; ++i) {
        std::string line = tag + "-" + std::to_string(i) + ":";
        line.resize(std::max<size_t>(line.size(), 1 + random() % 300), char('a' + i % 26));
        output += line + "\n";
    }
    for (size_t done = 0; done < output.size();) {
        const size_t piece = std::min<size_t>(1 + random() % 64, output.size() - done);
        if (write(STDOUT_FILENO, output.data() + done, piece) != ssize_t(piece))
            return 1;
        done += piece;
    }
    return 0;
}
