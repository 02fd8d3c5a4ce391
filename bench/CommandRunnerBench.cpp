// What CommandRunner::run costs over the bare system calls it is built on:
// the latency of a trivial child.
#include "CommandRunner.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <spawn.h>
#include <sys/wait.h>

namespace {

extern "C" char** environ;

constexpr const char* trueProgram = "/bin/true";

void BM_BareSpawnWaitTrue(benchmark::State& state) {
    char* argv[] = {const_cast<char*>(trueProgram), nullptr};
    for (auto _ : state) {
        pid_t pid = 0;
        if (posix_spawn(&pid, trueProgram, nullptr, nullptr, argv, environ) != 0) std::abort();
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

} // namespace

BENCHMARK(BM_BareSpawnWaitTrue)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_RunTrue)->Unit(benchmark::kMicrosecond)->UseRealTime();

BENCHMARK_MAIN();
