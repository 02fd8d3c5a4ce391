// What CommandRunner::run costs over the bare system calls it is built on:
// the latency of a trivial child, and the throughput of capturing a large
// output.
#include "CommandRunner.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

extern "C" char** environ;

constexpr const char* trueProgram = "/bin/true";
constexpr const char* headProgram = "/usr/bin/head";
constexpr long long captureBytes = 256LL * 1024 * 1024;
const std::string captureCount = std::to_string(captureBytes);

pid_t spawn(const char* program, char* const argv[], posix_spawn_file_actions_t* actions) {
    pid_t pid = 0;
    if (posix_spawn(&pid, program, actions, nullptr, argv, environ) != 0) std::abort();
    return pid;
}

void BM_BareSpawnWaitTrue(benchmark::State& state) {
    char* argv[] = {const_cast<char*>(trueProgram), nullptr};
    for (auto _ : state) {
        const pid_t pid = spawn(trueProgram, argv, nullptr);
        int status = 0;
        waitpid(pid, &status, 0);
        benchmark::DoNotOptimize(status);
    }
}

void BM_RunTrue(benchmark::State& state) {
    for (auto _ : state) {
        const kelvane::CommandResult result = kelvane::CommandRunner::run(trueProgram, {}, 10);
        if (result.status != 0) state.SkipWithError("true failed");
        benchmark::DoNotOptimize(result);
    }
}

void BM_DirectDrain256MiB(benchmark::State& state) {
    std::string count = captureCount;
    char* argv[] = {const_cast<char*>(headProgram), const_cast<char*>("-c"), count.data(),
                    const_cast<char*>("/dev/zero"), nullptr};
    std::vector<char> buffer(64 * 1024);
    for (auto _ : state) {
        int fds[2];
        if (pipe(fds) != 0) std::abort();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        const pid_t pid = spawn(headProgram, argv, &actions);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        long long total = 0;
        for (ssize_t n; (n = read(fds[0], buffer.data(), buffer.size())) > 0;) total += n;
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        if (total != captureBytes) state.SkipWithError("short read");
    }
    state.SetBytesProcessed(state.iterations() * captureBytes);
}

void BM_RunCapture256MiB(benchmark::State& state) {
    for (auto _ : state) {
        const kelvane::CommandResult result =
            kelvane::CommandRunner::run(headProgram, {"-c", captureCount, "/dev/zero"}, 60);
        if (static_cast<long long>(result.output.size()) != captureBytes) state.SkipWithError("short capture");
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(state.iterations() * captureBytes);
}

} // namespace

BENCHMARK(BM_BareSpawnWaitTrue)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_RunTrue)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_DirectDrain256MiB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RunCapture256MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
