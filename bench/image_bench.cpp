// SPDX-License-Identifier: Apache-2.0
// Parsing the embedded firmware text and running the CRC-16 over its image.

#include <benchmark/benchmark.h>

#include <vector>

#include "image/image.h"
#include "payloads/payloads.h"

namespace {

const char* Text() {
    return reinterpret_cast<const char*>(FirmwareSRecordText);
}

void BM_ParseSRecords(benchmark::State& state) {
    std::vector<uint8_t> image(FirmwareSRecordTextLength / 2);
    for (auto _ : state) {
        const uint32_t count = ParseSRecords(Text(), FirmwareSRecordTextLength, image.data());
        benchmark::DoNotOptimize(count);
        benchmark::ClobberMemory();
        if (count != 482008u) state.SkipWithError("the firmware text did not parse");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * FirmwareSRecordTextLength);
}
BENCHMARK(BM_ParseSRecords)->Unit(benchmark::kMicrosecond);

void BM_Crc16Image(benchmark::State& state) {
    std::vector<uint8_t> image(FirmwareSRecordTextLength / 2);
    const uint32_t count = ParseSRecords(Text(), FirmwareSRecordTextLength, image.data());
    for (auto _ : state) {
        uint16_t crc = 0;
        Crc16Update(image.data(), count, 0xFFFF, &crc);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * count);
}
BENCHMARK(BM_Crc16Image)->Unit(benchmark::kMicrosecond);

// What the update does before and while it writes: parse, then CRC the image.
void BM_ParseAndCrc(benchmark::State& state) {
    std::vector<uint8_t> image(FirmwareSRecordTextLength / 2);
    for (auto _ : state) {
        const uint32_t count = ParseSRecords(Text(), FirmwareSRecordTextLength, image.data());
        uint16_t crc = 0;
        Crc16Update(image.data(), count, 0xFFFF, &crc);
        benchmark::DoNotOptimize(crc);
        if (crc != 0xB73C) state.SkipWithError("unexpected CRC");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * FirmwareSRecordTextLength);
}
BENCHMARK(BM_ParseAndCrc)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
