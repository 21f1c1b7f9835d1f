// The strict check's forecast of a write job against the job itself, on the
// same bytes, over a device that takes everything and acknowledges every
// frame: what `check` promises, `write` must then do.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "image.h"

namespace {

void Check(bool condition) { if (!condition) std::abort(); }

struct Wire {
    unsigned long long bytes;  // all that was written
    unsigned long controls, answers;
};

// Every write is taken whole, so each is one unit: a control sequence is
// 7 bytes, a frame at least 9; the device answers every frame.
bool TakeAll(void* context, const uint8_t*, size_t count)
{
    Wire& wire = *static_cast<Wire*>(context);
    bool control = count == kControlSequenceSize;
    wire.controls += control;
    wire.answers += !control;
    wire.bytes += count;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::unique_ptr<char[]> bytes(new char[size]);  // exactly sized: ASan sees any overread
    if (size) std::memcpy(bytes.get(), data, size);
    static FirmwareCheck check;
    CheckFirmware({bytes.get(), size, false, {}}, check);

    Wire wire = {};
    static WriteJob job;
    bool ended = RunWriteJobOverSink(job, bytes.get(), size, TakeAll, &wire) == WriteOutcome::End;

    Check(check.jobFailure == job.failure && check.jobLine == job.line);
    Check(ended == (job.failure == WriteFailure::None) && wire.controls == (ended ? 2u : 1u));
    Check(check.frames == job.frames && check.frames == wire.answers && check.frameData == uint64_t(job.total));
    Check(check.frameBytes == wire.bytes - wire.controls * kControlSequenceSize);
    Check(!ended || WireBytes(check, true) == wire.bytes + wire.answers);
    return 0;
}
