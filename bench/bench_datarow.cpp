// DataRow building: typical result rows of 5 to 10 mixed cells, as the remote shell's
// results and the catalog answers carry them.

#include "frontend/PGMessage.h"

#include <benchmark/benchmark.h>

using namespace quillhaven;

namespace {

Cell textCell(std::string s) {
    return Cell(std::in_place, std::move(s));
}

Row typicalRow(int cells, int seed) {
    Row row;
    for (int i = 0; i < cells; ++i) {
        switch ((i + seed) % 5) {
        case 0:
            row.emplace_back(CellValue{std::int64_t{1000003} * (seed + i)});
            break;
        case 1:
            row.push_back(textCell("customer-" + std::to_string(seed) + "@example.org"));
            break;
        case 2:
            row.emplace_back(CellValue{12.5 + seed * 0.01});
            break;
        case 3:
            row.emplace_back(std::nullopt);
            break;
        default:
            row.push_back(textCell("2024-05-17 09:30:00"));
            break;
        }
    }
    return row;
}

std::vector<Row> typicalRows(int cells) {
    std::vector<Row> rows;
    for (int i = 0; i < 1024; ++i) rows.push_back(typicalRow(cells, i));
    return rows;
}

// The framed message the session writes ('D', length, payload).
void BM_DataRowMessage(benchmark::State& state) {
    auto rows = typicalRows(static_cast<int>(state.range(0)));
    std::size_t bytes = 0, i = 0;
    for (auto _ : state) {
        std::string message = PGMessage::buildDataRowMessage(rows[i++ & 1023]);
        bytes += message.size();
        benchmark::DoNotOptimize(message.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_DataRowMessage)->Arg(5)->Arg(10);

// The payload builder, framed afterwards (two buffers).
void BM_DataRowPayloadThenFrame(benchmark::State& state) {
    auto rows = typicalRows(static_cast<int>(state.range(0)));
    std::size_t bytes = 0, i = 0;
    for (auto _ : state) {
        std::string message =
            PGMessage::buildMessage('D', PGMessage::buildDataRow(rows[i++ & 1023]));
        bytes += message.size();
        benchmark::DoNotOptimize(message.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_DataRowPayloadThenFrame)->Arg(5)->Arg(10);

} // namespace
