// What the host spends encoding: one line of each kind, and a whole file
// through the worker's read-and-encode path with a port that takes
// everything at once.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "transfer.h"

namespace {

std::string Record(int type, int dataBytes)
{
    static const char digits[] = "0123456789ABCDEF";
    int addressBytes = type + 1;
    std::string line = "S" + std::to_string(type);
    int count = addressBytes + dataBytes + 1;
    line += digits[count >> 4];
    line += digits[count & 15];
    for (int i = 0; i < addressBytes + dataBytes + 1; ++i) {
        line += digits[(i * 7) & 15];
        line += digits[(i * 3) & 15];
    }
    return line + "\r\n";
}

void EncodeOne(benchmark::State& state, const std::string& line)
{
    uint8_t frame[kMaxFrameSize];
    for (auto _ : state) {
        FrameResult result = EncodeLine(line.data(), line.size(), frame);
        benchmark::DoNotOptimize(result);
        benchmark::DoNotOptimize(frame);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(line.size()));
}

void BM_EncodeData(benchmark::State& state)
{
    EncodeOne(state, Record(int(state.range(0)), int(state.range(1))));
}
BENCHMARK(BM_EncodeData)
    ->ArgNames({"type", "bytes"})
    ->Args({1, 16})->Args({1, 32})->Args({1, 250})
    ->Args({2, 16})->Args({2, 32})->Args({2, 250})
    ->Args({3, 16})->Args({3, 32})->Args({3, 250});

// Digits of made-up firmware, as scripts/make-firmware writes them: the
// patterned lines above let the branch predictor learn every digit.
std::string RandomRecord(int type, int dataBytes, unsigned seed)
{
    std::string line = Record(type, dataBytes);
    static const char digits[] = "0123456789ABCDEF";
    unsigned state = seed;
    for (size_t i = 4; i + 4 < line.size(); ++i) {
        state = state * 1103515245u + 12345u;
        line[i] = digits[(state >> 16) & 15];
    }
    return line;
}

void BM_EncodeRandomData(benchmark::State& state)
{
    // Many different lines, so no one line's branches are learnt by heart.
    std::vector<std::string> lines;
    for (unsigned i = 0; i < 4096; ++i) lines.push_back(RandomRecord(3, int(state.range(0)), i + 1));
    uint8_t frame[kMaxFrameSize];
    size_t next = 0;
    int64_t bytes = 0;
    for (auto _ : state) {
        const std::string& line = lines[next++ & 4095];
        FrameResult result = EncodeLine(line.data(), line.size(), frame);
        benchmark::DoNotOptimize(result);
        benchmark::DoNotOptimize(frame);
        bytes += int64_t(line.size());
    }
    state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_EncodeRandomData)->ArgName("bytes")->Arg(32)->Arg(250);

void BM_EncodeHeader(benchmark::State& state) { EncodeOne(state, "S00600004844521B\r\n"); }
BENCHMARK(BM_EncodeHeader);

void BM_EncodeRejected(benchmark::State& state)
{
    // Fails at the last data pair: the most work a rejected line costs.
    std::string line = Record(3, 32);
    line[line.size() - 5] = 'G';
    EncodeOne(state, line);
}
BENCHMARK(BM_EncodeRejected);

bool TakeAll(void*, const uint8_t*, size_t) { return true; }

// The whole-image path, as the tools run it over their snapshot: read the
// lines, encode, hand over, answer, progress.
void BM_EncodeFile(benchmark::State& state)
{
    std::string image;
    std::string line = Record(2, 32);
    size_t lines = size_t(state.range(0)) / line.size();
    for (size_t i = 0; i < lines; ++i) image += line;
    image += "S804000000FB\r\n";
    static WriteJob job;
    for (auto _ : state) {
        if (RunWriteJobOverSink(job, image.data(), image.size(), TakeAll, nullptr) != WriteOutcome::End)
            state.SkipWithError("job failed");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(image.size()));
}
BENCHMARK(BM_EncodeFile)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
