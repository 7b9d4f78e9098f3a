// Throughput of SQLiteJSONParser::parse on what the real sqlite3 shell prints in JSON mode
// for 100k rows of mixed columns (integer, real, text, NULL, blob).

#include "backends/SQLiteJSONParser.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace {

const std::string& shellOutput() {
    static const std::string text = [] {
        char dir[] = "/tmp/qh-bench-XXXXXX";
        if (!mkdtemp(dir)) throw std::runtime_error("mkdtemp failed");
        std::string db = std::string(dir) + "/bench.db";
        std::string sql =
            "CREATE TABLE t(id INTEGER, price REAL, name TEXT, note TEXT, data BLOB);"
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100000) "
            "INSERT INTO t SELECT i, i * 1.25, 'name ' || i || ' caf\xC3\xA9', "
            "CASE WHEN i % 3 = 0 THEN NULL ELSE 'note \"' || (i % 97) || '\"' END, "
            "randomblob(8) FROM n;";
        FILE* p = popen(("sqlite3 " + db).c_str(), "w");
        std::fputs(sql.c_str(), p);
        pclose(p);
        FILE* out = popen(("sqlite3 -json " + db + " 'SELECT * FROM t'").c_str(), "r");
        std::string text;
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, out)) > 0) text.append(buf, n);
        pclose(out);
        std::remove(db.c_str());
        rmdir(dir);
        return text;
    }();
    return text;
}

void BM_ParseShellJSON(benchmark::State& state) {
    const std::string& text = shellOutput();
    std::size_t rows = 0;
    for (auto _ : state) {
        auto result = quillhaven::SQLiteJSONParser::parse(text);
        rows = result ? result->rows.size() : 0;
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.counters["rows"] = static_cast<double>(rows);
    state.counters["MB"] = static_cast<double>(text.size()) / 1e6;
}
BENCHMARK(BM_ParseShellJSON)->Unit(benchmark::kMillisecond);

} // namespace
