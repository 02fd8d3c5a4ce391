#include "KelvaneDoctor.h"

#include <fcntl.h>
#include <iostream>
#include <unistd.h>

namespace {

// adb shell hands its standard input to the phone. The doctor's commands get
// an empty one, so that a script's `while read` loop keeps its own input.
void emptyStandardInput() {
    const int fd = ::open("/dev/null", O_RDONLY);
    if (fd > STDIN_FILENO) {
        ::dup2(fd, STDIN_FILENO);
        ::close(fd);
    }
}

} // namespace

int main(int argc, char** argv) {
    const std::string program = argc > 0 && argv[0] ? argv[0] : "kelvane-doctor";
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    emptyStandardInput();
    return kelvane::doctor::run(program, arguments, kelvane::Places::standard(), std::cout, std::cerr);
}
