#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "sim.h"
#include "transfer.h"  // kAck, kNak

namespace {

void Emit(const SimSink& sink, const SimEvent& event)
{
    sink.event(sink.context, event);
}

SimEvent MakeEvent(SimEventKind kind)
{
    SimEvent event = {};
    event.kind = kind;
    event.answer = SimAnswer::None;
    return event;
}

// A junk run ends where a unit is recognised or the stream ends.
void FlushJunk(SimChecker& checker, const SimSink& sink)
{
    if (checker.junkRun == 0) return;
    SimEvent event = MakeEvent(SimEventKind::Junk);
    event.length = size_t(checker.junkRun);
    ++checker.totals.junkRuns;
    checker.totals.junkBytes += checker.junkRun;
    checker.junkRun = 0;
    Emit(sink, event);
}

// Every byte, junk included, occupies the emulated line for ten bit times.
void CarryOnLine(SimChecker& checker, uint64_t nowNs)
{
    if (checker.policy.baud == 0) return;
    uint64_t byteNs = 10ull * 1000000000ull / checker.policy.baud;
    if (checker.lineFreeNs < nowNs) checker.lineFreeNs = nowNs;
    checker.lineFreeNs += byteNs;
}

SimAnswer DecideAnswer(const SimPolicy& policy, unsigned long index, bool crcOk)
{
    if (policy.silent || index == policy.noAnswerFrame) return SimAnswer::None;
    // The device refuses what it cannot trust.
    if (!crcOk || index == policy.nakFrame) return SimAnswer::Nak;
    return SimAnswer::Ack;
}

void FinishFrame(SimChecker& checker, uint64_t nowNs, const SimSink& sink)
{
    const uint8_t* frame = checker.unit;
    size_t length = FrameDataLength(frame);
    uint16_t crc = 0;
    for (size_t i = 1; i <= 6 + length; ++i) UpdateCrc16(crc, frame[i]);
    uint16_t received = uint16_t((frame[7 + length] << 8) | frame[8 + length]);

    SimTotals& totals = checker.totals;
    SimEvent event = MakeEvent(SimEventKind::Frame);
    event.index = ++totals.frames;
    event.address = FrameAddress(frame);
    event.length = length;
    event.crcOk = frame[6 + length] == kEtx && crc == received;
    event.answer = DecideAnswer(checker.policy, event.index, event.crcOk);
    uint64_t heldUntilNs = checker.policy.baud ? checker.lineFreeNs : nowNs;
    // On an emulated line the answer takes its own time on the way back:
    // it has reached the sender only once its last byte has.
    if (checker.policy.baud && event.answer != SimAnswer::None)
        heldUntilNs += (checker.policy.junkCount + 1ull) * (10ull * 1000000000ull / checker.policy.baud);
    event.answerDueNs = heldUntilNs + uint64_t(checker.policy.delayMs) * 1000000ull;
    // A USB adapter holds a lone byte until its latency timer runs out,
    // unless the byte is its event character.
    uint64_t latencyNs = uint64_t(checker.policy.latencyMs) * 1000000ull;
    uint8_t answerByte = event.answer == SimAnswer::Nak ? kNak : kAck;
    bool passedAtOnce = checker.policy.eventChar == (0x100u | answerByte);
    if (latencyNs && !passedAtOnce) event.answerDueNs = (event.answerDueNs + latencyNs - 1) / latencyNs * latencyNs;
    if (!event.crcOk) ++totals.badFrames;
    if (!totals.jobOpen) ++totals.outOfPlace;
    Emit(sink, event);
}

void FinishControl(SimChecker& checker, bool isStart, const SimSink& sink)
{
    FlushJunk(checker, sink);
    SimTotals& totals = checker.totals;
    if (isStart) {
        if (totals.jobOpen) ++totals.outOfPlace;  // the previous job never ended
        totals.jobOpen = true;
        ++totals.starts;
    } else {
        if (!totals.jobOpen) ++totals.outOfPlace;
        totals.jobOpen = false;
        ++totals.ends;
    }
    Emit(sink, MakeEvent(isStart ? SimEventKind::Start : SimEventKind::End));
}

bool ExtendsSequence(const SimChecker& checker, const uint8_t* sequence, uint8_t byte)
{
    return std::memcmp(checker.unit, sequence, checker.filled) == 0 && sequence[checker.filled] == byte;
}

void BeginUnit(SimChecker& checker, uint8_t byte, const SimSink& sink)
{
    if (byte == kStx) {
        FlushJunk(checker, sink);
        checker.state = SimParse::Frame;
    } else if (byte == StartSequence[0]) {
        // Junk before it is reported only once the sequence is whole.
        checker.state = SimParse::Control;
    } else {
        ++checker.junkRun;
        return;
    }
    checker.unit[0] = byte;
    checker.filled = 1;
}

void FeedControl(SimChecker& checker, uint8_t byte, const SimSink& sink)
{
    bool start = ExtendsSequence(checker, StartSequence, byte);
    bool end = ExtendsSequence(checker, EndSequence, byte);
    if (!start && !end) {
        // Past its first byte neither sequence holds STX or ESC, so the
        // bytes taken so far are all junk; this byte may begin a unit.
        checker.junkRun += checker.filled;
        checker.state = SimParse::Idle;
        BeginUnit(checker, byte, sink);
        return;
    }
    checker.unit[checker.filled++] = byte;
    if (checker.filled == kControlSequenceSize) {
        checker.state = SimParse::Idle;
        FinishControl(checker, start, sink);
    }
}

void FeedByte(SimChecker& checker, uint8_t byte, uint64_t nowNs, const SimSink& sink);

// A frame that fails its ETX or CRC may have been a stray STX: as a device
// does, look for the next unit from the byte after that false start. The
// bytes before it were the bad frame's, and are not counted again as junk.
void Resynchronise(SimChecker& checker, uint64_t nowNs, const SimSink& sink)
{
    size_t from = 1;
    while (from < checker.filled && checker.unit[from] != kStx && checker.unit[from] != StartSequence[0]) ++from;
    uint8_t rest[kMaxFrameSize];
    size_t count = checker.filled - from;
    std::memcpy(rest, checker.unit + from, count);
    checker.filled = 0;
    for (size_t i = 0; i < count; ++i) FeedByte(checker, rest[i], nowNs, sink);
}

void FeedFrame(SimChecker& checker, uint8_t byte, uint64_t nowNs, const SimSink& sink)
{
    checker.unit[checker.filled++] = byte;
    if (checker.filled >= 2 && checker.filled == kFrameOverhead + checker.unit[1]) {
        checker.state = SimParse::Idle;
        unsigned long badBefore = checker.totals.badFrames;
        FinishFrame(checker, nowNs, sink);
        if (checker.totals.badFrames != badBefore) Resynchronise(checker, nowNs, sink);
    }
}

const char* AnswerName(SimAnswer answer)
{
    switch (answer) {
    case SimAnswer::Ack: return "ack";
    case SimAnswer::Nak: return "nak";
    case SimAnswer::None: break;
    }
    return "none";
}

}  // namespace

size_t SimAnswerBytes(const SimPolicy& policy, SimAnswer answer, uint8_t* bytes)
{
    if (answer == SimAnswer::None) return 0;
    size_t junk = policy.junkCount < kSimMaxJunk ? policy.junkCount : kSimMaxJunk;
    std::memset(bytes, kSimJunkByte, junk);
    bytes[junk] = answer == SimAnswer::Ack ? kAck : kNak;
    return junk + 1;
}

void StartChecker(SimChecker& checker, const SimPolicy& policy)
{
    checker.policy = policy;
    checker.totals = {};
    checker.state = SimParse::Idle;
    checker.filled = 0;
    checker.junkRun = 0;
    checker.lineFreeNs = 0;
}

namespace {

void FeedByte(SimChecker& checker, uint8_t byte, uint64_t nowNs, const SimSink& sink)
{
    switch (checker.state) {
    case SimParse::Idle: BeginUnit(checker, byte, sink); break;
    case SimParse::Control: FeedControl(checker, byte, sink); break;
    case SimParse::Frame: FeedFrame(checker, byte, nowNs, sink); break;
    }
}

}  // namespace

void FeedChecker(SimChecker& checker, const uint8_t* bytes, size_t count, uint64_t nowNs,
                 const SimSink& sink)
{
    for (size_t i = 0; i < count; ++i) {
        CarryOnLine(checker, nowNs);
        FeedByte(checker, bytes[i], nowNs, sink);
    }
}

void FinishChecker(SimChecker& checker, const SimSink& sink)
{
    if (checker.state == SimParse::Control) {
        checker.junkRun += checker.filled;  // a sequence cut short is junk
    } else if (checker.state == SimParse::Frame) {
        SimEvent event = MakeEvent(SimEventKind::Truncated);
        event.length = checker.filled;
        ++checker.totals.truncated;
        Emit(sink, event);
    }
    checker.state = SimParse::Idle;
    checker.filled = 0;
    FlushJunk(checker, sink);
}

int SimVerdict(const SimTotals& totals)
{
    bool wellFormed = totals.starts > 0 && totals.badFrames == 0 && totals.junkRuns == 0 &&
                      totals.truncated == 0 && totals.outOfPlace == 0 && !totals.jobOpen;
    return wellFormed ? kSimExitWellFormed : kSimExitMalformed;
}

size_t FormatSimEvent(const SimEvent& event, char* text, size_t size)
{
    int written = 0;
    switch (event.kind) {
    case SimEventKind::Start: written = std::snprintf(text, size, "{\"event\":\"start\"}\n"); break;
    case SimEventKind::End: written = std::snprintf(text, size, "{\"event\":\"end\"}\n"); break;
    case SimEventKind::Junk:
        written = std::snprintf(text, size, "{\"event\":\"junk\",\"length\":%zu}\n", event.length);
        break;
    case SimEventKind::Truncated:
        written = std::snprintf(text, size, "{\"event\":\"truncated\",\"length\":%zu}\n", event.length);
        break;
    case SimEventKind::Frame:
        written = std::snprintf(text, size,
                                "{\"event\":\"frame\",\"index\":%lu,\"address\":%" PRIu32
                                ",\"length\":%zu,\"crc_ok\":%s,\"answer\":\"%s\"}\n",
                                event.index, event.address, event.length, event.crcOk ? "true" : "false",
                                AnswerName(event.answer));
        break;
    }
    if (written < 0) return 0;
    return size_t(written) < size ? size_t(written) : size - 1;
}
