#include <cinttypes>
#include <cstdio>

#include "sim.h"

namespace {

void FinishRow(SimTiming& timing, uint64_t nextByteNs)
{
    timing.block[timing.count].nextByteNs = nextByteNs;
    timing.open = false;
    if (++timing.count < kSimTimingBlock) return;
    timing.sink.rows(timing.sink.context, timing.block, timing.count);
    timing.count = 0;
}

}  // namespace

void StartTiming(SimTiming& timing, const SimTimingSink& sink)
{
    timing.sink = sink;
    timing.open = false;
    timing.count = 0;
}

void NoteAnswerWritten(SimTiming& timing, unsigned long frame, uint64_t dueNs, uint64_t nowNs)
{
    if (timing.open) FinishRow(timing, 0);
    timing.block[timing.count] = {frame, dueNs, nowNs, 0};
    timing.open = true;
}

void NoteBytesArrived(SimTiming& timing, uint64_t nowNs)
{
    if (timing.open) FinishRow(timing, nowNs);
}

void FinishTiming(SimTiming& timing)
{
    if (timing.open) FinishRow(timing, 0);
    if (timing.count > 0) timing.sink.rows(timing.sink.context, timing.block, timing.count);
    timing.count = 0;
}

size_t FormatSimTurnaround(const SimTurnaround& row, char* text, size_t size)
{
    int written = std::snprintf(text, size, "%lu %" PRIu64 " %" PRIu64 " %" PRIu64 "\n", row.frame, row.dueNs,
                                row.writtenNs, row.nextByteNs);
    if (written < 0) return 0;
    return size_t(written) < size ? size_t(written) : size - 1;
}
