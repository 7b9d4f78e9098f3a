// A whole result through a client session over a socketpair: what a client sees of the
// front end when a statement returns many rows (the backend answers from memory). Tells
// whether writing each message with its own send() is the bottleneck.

#include "frontend/ClientConnection.h"
#include "frontend/PGMessage.h"

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace quillhaven;

namespace {

class MemoryBackend : public Backend {
public:
    explicit MemoryBackend(QueryResult result) : result_(std::move(result)) {}
    void connect() override {}
    void close() override {}
    bool isAlive() override { return true; }
    std::optional<QueryResult> execute(const std::string&) override { return result_; }

private:
    QueryResult result_;
};

void put32(std::string& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(v >> shift));
}

bool readUntilReady(int fd, std::size_t& bytes) {
    // Reads until the ReadyForQuery frame ends the answer (Z 00 00 00 05 49).
    static const std::string tail("Z\0\0\0\x05I", 6);
    std::string window;
    char buffer[1 << 16];
    for (;;) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        bytes += static_cast<std::size_t>(n);
        window.append(buffer, static_cast<std::size_t>(n));
        if (window.size() >= 6 && window.compare(window.size() - 6, 6, tail) == 0) return true;
        if (window.size() > 6) window.erase(0, window.size() - 6);
    }
}

void BM_SessionResult(benchmark::State& state) {
    QueryResult result;
    for (int c = 0; c < 8; ++c) result.columns.push_back({"c" + std::to_string(c)});
    for (int r = 0; r < state.range(0); ++r) {
        Row row;
        for (int c = 0; c < 8; ++c) {
            if (c % 3 == 0)
                row.emplace_back(std::in_place, std::int64_t{r} * 7919 + c);
            else if (c % 3 == 1)
                row.emplace_back(std::in_place, "value-" + std::to_string(r));
            else
                row.emplace_back(std::in_place, r * 0.25);
        }
        result.rows.push_back(std::move(row));
    }

    int sv[2];
    ::socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
    auto session = std::make_shared<ClientConnection>(
        sv[1], std::make_shared<MemoryBackend>(std::move(result)), false, nullptr);
    std::thread runner([session] {
        try {
            session->handle();
        } catch (...) {
        }
    });

    std::string startup;
    put32(startup, 8);
    put32(startup, 196608);
    ::send(sv[0], startup.data(), startup.size(), 0);
    std::size_t bytes = 0;
    readUntilReady(sv[0], bytes);

    std::string query("Q\0\0\0\x0dSELECT *\0", 14);
    bytes = 0;
    for (auto _ : state) {
        ::send(sv[0], query.data(), query.size(), 0);
        if (!readUntilReady(sv[0], bytes)) state.SkipWithError("session ended");
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    ::close(sv[0]);
    runner.join();
}
BENCHMARK(BM_SessionResult)->Arg(10000)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace
