// The --timing bookkeeping with made-up times: which answer each arrival
// closes, rows without a next byte, and the hand-over in whole blocks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim.h"

// Found by argument lookup, so beside the record's own (global) namespace.
bool operator==(const SimTurnaround& a, const SimTurnaround& b)
{
    return a.frame == b.frame && a.dueNs == b.dueNs && a.writtenNs == b.writtenNs && a.nextByteNs == b.nextByteNs;
}

void PrintTo(const SimTurnaround& row, std::ostream* out)
{
    *out << "{" << row.frame << " " << row.dueNs << " " << row.writtenNs << " " << row.nextByteNs << "}";
}

namespace {

struct Collected {
    std::vector<SimTurnaround> rows;
    std::vector<size_t> blockSizes;
};

void Collect(void* context, const SimTurnaround* rows, size_t count)
{
    Collected& collected = *static_cast<Collected*>(context);
    collected.rows.insert(collected.rows.end(), rows, rows + count);
    collected.blockSizes.push_back(count);
}

// One step of a scripted exchange: an answer written, or bytes arriving.
struct Step {
    bool answer;          // true: answer to `frame` written at `ns`; false: bytes arrived at `ns`
    unsigned long frame;
    uint64_t ns;
};

struct TimingCase {
    const char* name;
    std::vector<Step> steps;
    std::vector<SimTurnaround> rows;  // after FinishTiming
};

// Answers fall due 5 ns before they are written in these scripts.
std::vector<SimTurnaround> Replay(const std::vector<Step>& steps, Collected& collected)
{
    static SimTiming timing;
    StartTiming(timing, {&collected, Collect});
    for (const Step& step : steps) {
        if (step.answer) NoteAnswerWritten(timing, step.frame, step.ns - 5, step.ns);
        else NoteBytesArrived(timing, step.ns);
    }
    FinishTiming(timing);
    return collected.rows;
}

TEST(SimTurnaroundTiming, EachAnswerIsClosedByTheNextArrival)
{
    const std::vector<TimingCase> rows = {
        {"nothing answered", {{false, 0, 10}, {false, 0, 20}}, {}},
        {"nothing at all", {}, {}},
        {"a sender that waits for each answer",
         {{false, 0, 100}, {true, 1, 200}, {false, 0, 260}, {true, 2, 300}, {false, 0, 345}},
         {{1, 195, 200, 260}, {2, 295, 300, 345}}},
        {"only the first arrival after an answer counts",
         {{true, 1, 200}, {false, 0, 210}, {false, 0, 220}, {false, 0, 230}},
         {{1, 195, 200, 210}}},
        {"the stream ends after the answer: no next byte", {{false, 0, 100}, {true, 1, 200}}, {{1, 195, 200, 0}}},
        {"two answers with no byte between them",
         {{true, 1, 200}, {true, 2, 300}, {false, 0, 400}},
         {{1, 195, 200, 0}, {2, 295, 300, 400}}},
        {"answers to frames that are not consecutive (one unanswered)",
         {{true, 1, 200}, {false, 0, 250}, {true, 3, 400}, {false, 0, 470}},
         {{1, 195, 200, 250}, {3, 395, 400, 470}}},
    };
    for (const TimingCase& row : rows) {
        SCOPED_TRACE(row.name);
        Collected collected;
        EXPECT_EQ(Replay(row.steps, collected), row.rows);
    }
}

TEST(SimTurnaroundTiming, RowsAreHandedOnInWholeBlocksAndTheRestAtTheEnd)
{
    std::vector<Step> steps;
    std::vector<SimTurnaround> expected;
    size_t frames = 2 * kSimTimingBlock + 3;
    for (unsigned long frame = 1; frame <= frames; ++frame) {
        uint64_t at = frame * 1000;
        steps.push_back({true, frame, at});
        steps.push_back({false, 0, at + frame % 7});
        expected.push_back({frame, at - 5, at, at + frame % 7});
    }
    Collected collected;
    EXPECT_EQ(Replay(steps, collected), expected);
    EXPECT_EQ(collected.blockSizes, (std::vector<size_t>{kSimTimingBlock, kSimTimingBlock, 3}));
}

}  // namespace
