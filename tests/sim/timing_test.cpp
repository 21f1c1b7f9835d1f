// The --timing bookkeeping with made-up times: which answer each arrival
// closes, rows without a next byte, and the hand-over in whole blocks.
#include <gtest/gtest.h>

#include <vector>

#include "sim.h"

namespace {

using Row = std::vector<uint64_t>;  // frame, due, written, next byte

struct Collected {
    std::vector<Row> rows;
    std::vector<size_t> blockSizes;
};

void Collect(void* context, const SimTurnaround* rows, size_t count)
{
    Collected& collected = *static_cast<Collected*>(context);
    for (size_t i = 0; i < count; ++i)
        collected.rows.push_back({rows[i].frame, rows[i].dueNs, rows[i].writtenNs, rows[i].nextByteNs});
    collected.blockSizes.push_back(count);
}

// Steps: {frame, ns} an answer to `frame` written at ns (due 5 ns before);
// {0, ns} bytes arrived.
Collected Replay(const std::vector<std::pair<unsigned long, uint64_t>>& steps)
{
    static SimTiming timing;
    Collected collected;
    StartTiming(timing, {&collected, Collect});
    for (const auto& step : steps) {
        if (step.first) NoteAnswerWritten(timing, step.first, step.second - 5, step.second);
        else NoteBytesArrived(timing, step.second);
    }
    FinishTiming(timing);
    return collected;
}

TEST(SimTurnaroundTiming, EachAnswerIsClosedByTheNextArrival)
{
    const struct {
        const char* name;
        std::vector<std::pair<unsigned long, uint64_t>> steps;
        std::vector<Row> rows;
    } cases[] = {
        {"nothing answered", {{0, 10}, {0, 20}}, {}},
        {"a sender that waits for each answer", {{0, 100}, {1, 200}, {0, 260}, {2, 300}, {0, 345}},
         {{1, 195, 200, 260}, {2, 295, 300, 345}}},
        {"only the first arrival after an answer counts", {{1, 200}, {0, 210}, {0, 220}}, {{1, 195, 200, 210}}},
        {"no byte after the last answer", {{0, 100}, {1, 200}}, {{1, 195, 200, 0}}},
        {"two answers with no byte between them", {{1, 200}, {2, 300}, {0, 400}},
         {{1, 195, 200, 0}, {2, 295, 300, 400}}},
    };
    for (const auto& row : cases) EXPECT_EQ(Replay(row.steps).rows, row.rows) << row.name;
}

TEST(SimTurnaroundTiming, RowsAreHandedOnInWholeBlocksAndTheRestAtTheEnd)
{
    std::vector<std::pair<unsigned long, uint64_t>> steps;
    for (unsigned long frame = 1; frame <= 2 * kSimTimingBlock + 3; ++frame) {
        steps.push_back({frame, frame * 1000});
        steps.push_back({0, frame * 1000 + frame % 7});
    }
    Collected collected = Replay(steps);
    EXPECT_EQ(collected.blockSizes, (std::vector<size_t>{kSimTimingBlock, kSimTimingBlock, 3}));
    ASSERT_EQ(collected.rows.size(), steps.size() / 2);
    for (uint64_t frame = 1; frame <= collected.rows.size(); ++frame)
        ASSERT_EQ(collected.rows[frame - 1], (Row{frame, frame * 1000 - 5, frame * 1000, frame * 1000 + frame % 7}));
    EXPECT_TRUE(Replay({}).blockSizes.empty());
}

}  // namespace
