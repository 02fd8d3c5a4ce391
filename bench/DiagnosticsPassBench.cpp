// One diagnostics pass against a /bin/sh script that runs the same three adb
// commands and captures the same outputs. The adb is a stand-in script in a
// temporary bundle root that answers like a machine with one authorized phone
// that has Lingguang installed; both sides run that same stand-in.
#include "DiagnosticsService.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" char** environ;

namespace {

namespace fs = std::filesystem;

constexpr const char* serial = "R58M12ABCDE";

void writeExecutable(const fs::path& path, const std::string& contents) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
    ::chmod(path.c_str(), 0755);
}

// A temporary bundle root with the stand-in tools, removed at exit.
class StandinBundle {
public:
    StandinBundle() {
        std::string pattern = (fs::temp_directory_path() / "kelvane-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        root_ = pattern;

        adb_ = root_ / kelvane::DiagnosticsService::bundledADBRelativePath;
        writeExecutable(adb_, std::string("#!/bin/sh\n"
                                          "case \"$1\" in\n"
                                          "  start-server) ;;\n"
                                          "  devices) printf 'List of devices attached\\n") +
                                  serial +
                                  "\\tdevice\\n\\n' ;;\n"
                                  "  -s) printf 'package:com.antgroup.leopard.android\\n' ;;\n"
                                  "esac\n");
        writeExecutable(root_ / "scrcpy", "#!/bin/sh\n");

        // The same three commands, their outputs captured by the shell.
        shellPass_ = root_ / "pass.sh";
        writeExecutable(shellPass_, "#!/bin/sh\n"
                                    "adb='" + adb_.string() + "'\n"
                                    "\"$adb\" start-server >/dev/null 2>&1\n"
                                    "devices=$(\"$adb\" devices 2>&1)\n"
                                    "packages=$(\"$adb\" -s " + serial +
                                        " shell pm list packages com.antgroup.leopard.android 2>&1)\n");
    }
    ~StandinBundle() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    kelvane::Places places() const {
        return kelvane::Places{root_.string(), {}, {(root_ / "scrcpy").string()}, (root_ / "activity.log").string()};
    }
    const fs::path& shellPass() const { return shellPass_; }

private:
    fs::path root_, adb_, shellPass_;
};

const StandinBundle& bundle() {
    static const StandinBundle instance;
    return instance;
}

void BM_DiagnosticsPass(benchmark::State& state) {
    const kelvane::Places places = bundle().places();
    for (auto _ : state) {
        kelvane::DiagnosticsSnapshot snapshot = kelvane::DiagnosticsService::buildSnapshot(places);
        if (!snapshot.lingguangInstalled || snapshot.selectedDeviceID != serial) {
            state.SkipWithError("the pass did not find the stand-in phone");
            break;
        }
        benchmark::DoNotOptimize(snapshot);
    }
}

void BM_ShellPass(benchmark::State& state) {
    const std::string script = bundle().shellPass().string();
    char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>(script.c_str()), nullptr};
    for (auto _ : state) {
        pid_t pid = 0;
        if (::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, environ) != 0) std::abort();
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("the shell pass failed");
            break;
        }
    }
}

// What the shell pays before its first command: starting /bin/sh itself.
void BM_ShellStartOnly(benchmark::State& state) {
    char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"), const_cast<char*>(":"), nullptr};
    for (auto _ : state) {
        pid_t pid = 0;
        if (::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, environ) != 0) std::abort();
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
}

} // namespace

BENCHMARK(BM_DiagnosticsPass)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ShellPass)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ShellStartOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
