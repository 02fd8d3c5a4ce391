#include "KelvaneDoctor.h"

#include <csignal>
#include <exception>
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

// What ends the doctor: the terminal's interrupt, a termination request, the
// terminal going away. Each stops the watch, and with it the pass under way;
// the program then ends as the signal would have ended it. Never destroyed:
// a signal may come while main returns.
kelvane::doctor::Watch* watch = nullptr;
volatile std::sig_atomic_t caught = 0;
constexpr int endingSignals[] = {SIGINT, SIGTERM, SIGHUP};

void stopOnSignal(int signal) {
    if (caught == 0) caught = signal;
    watch->stop();
}

} // namespace

int main(int argc, char** argv) {
    const std::string program = argc > 0 && argv[0] ? argv[0] : "kelvane-doctor";
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    emptyStandardInput();
    try {
        watch = new kelvane::doctor::Watch;
    } catch (const std::exception&) {
        // No pipe to be had: the signals keep their default action.
    }
    if (watch) {
        struct sigaction action {};
        action.sa_handler = stopOnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (const int signal : endingSignals) ::sigaction(signal, &action, nullptr);
    }
    // A reader that goes away (a closed pipe) ends --watch as an unwritten
    // report.
    ::signal(SIGPIPE, SIG_IGN);

    const int status = kelvane::doctor::run(program, arguments, kelvane::Places::standard(), std::cout, std::cerr, watch);
    if (const int signal = caught; signal != 0) {
        ::signal(signal, SIG_DFL);
        ::raise(signal);
    }
    return status;
}
