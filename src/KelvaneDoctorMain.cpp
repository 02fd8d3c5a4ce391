#include "KelvaneDoctor.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <iostream>
#include <thread>
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

// What ends --watch: the terminal's interrupt, a termination request, the
// terminal going away.
sigset_t endingSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, signal);
    return signals;
}

} // namespace

int main(int argc, char** argv) {
    const std::string program = argc > 0 && argv[0] ? argv[0] : "kelvane-doctor";
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    emptyStandardInput();
    const bool watching = std::find(arguments.begin(), arguments.end(), "--watch") != arguments.end();
    if (!watching) return kelvane::doctor::run(program, arguments, kelvane::Places::standard(), std::cout, std::cerr);

    // --watch runs until a signal ends it. The signals are taken by one
    // thread of their own (blocked before any other thread starts, so none
    // of them sees one), which ends the watch: its adb child is then ended
    // and waited for, and the program ends as the signal would have ended
    // it. A reader that goes away (a closed pipe) ends it as an unwritten
    // report.
    const sigset_t signals = endingSignals();
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    kelvane::doctor::Watch watch;
    int caught = 0;
    std::thread([&] {
        int signal = 0;
        if (::sigwait(&signals, &signal) == 0) caught = signal;
        watch.stop();
    }).detach();

    const int status = kelvane::doctor::run(program, arguments, kelvane::Places::standard(), std::cout, std::cerr, &watch);
    if (caught != 0) {
        ::signal(caught, SIG_DFL);
        ::pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
        ::raise(caught);
    }
    return status;
}
