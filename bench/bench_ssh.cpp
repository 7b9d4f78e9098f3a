// Per-statement latency of SSHBackend::execute("SELECT 1") over one SSH connection.
// The target comes from the environment (bench/ssh-latency sets it up on loopback):
//   QUILLHAVEN_BENCH_SSH_PORT, QUILLHAVEN_BENCH_SSH_USER, QUILLHAVEN_BENCH_SSH_KEY (key file),
//   QUILLHAVEN_BENCH_SSH_DB, optionally QUILLHAVEN_BENCH_SSH_HOST (default 127.0.0.1).

#include "backends/SSHBackend.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

using namespace quillhaven;

namespace {

std::string env(const char* name, const char* fallback = "") {
    const char* v = std::getenv(name);
    return v && *v ? v : fallback;
}

void SSHExecuteSelect1(benchmark::State& state) {
    std::string port = env("QUILLHAVEN_BENCH_SSH_PORT");
    std::string keyFile = env("QUILLHAVEN_BENCH_SSH_KEY");
    if (port.empty() || keyFile.empty()) {
        state.SkipWithError(
            "set QUILLHAVEN_BENCH_SSH_PORT, _USER, _KEY and _DB (bench/ssh-latency)");
        return;
    }
    std::ifstream in(keyFile);
    std::stringstream key;
    key << in.rdbuf();
    SSHBackend backend(env("QUILLHAVEN_BENCH_SSH_HOST", "127.0.0.1"),
                       static_cast<std::uint16_t>(std::stoi(port)),
                       env("QUILLHAVEN_BENCH_SSH_USER", "sqtest"),
                       SSHCredentials::privateKey(key.str()), env("QUILLHAVEN_BENCH_SSH_DB"), 30);
    backend.connect();

    std::vector<double> ms;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(backend.execute("SELECT 1"));
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(ms.begin(), ms.end());
    state.counters["median_ms"] = ms[ms.size() / 2];
    state.counters["p95_ms"] = ms[std::min(ms.size() - 1, ms.size() * 95 / 100)];
}

} // namespace

BENCHMARK(SSHExecuteSelect1)->Iterations(200)->Unit(benchmark::kMillisecond);
