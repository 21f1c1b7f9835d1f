#include "transfer.h"

#include <cstring>

const char* WriteFailureText(WriteFailure failure)
{
    switch (failure) {
    case WriteFailure::None: return "no failure";
    case WriteFailure::LineRejected: return "line is not an acceptable S-record";
    case WriteFailure::FileEnded: return "file ended before a termination record (S7, S8 or S9)";
    case WriteFailure::FileReadError: return "file could not be read";
    case WriteFailure::LineTooLong: return "line is longer than any S-record";
    case WriteFailure::Nak: return "device refused a frame (NAK)";
    case WriteFailure::NoAnswer: return "device did not answer in time";
    case WriteFailure::PortLost: return "port lost";
    case WriteFailure::PortStalled: return "port took nothing in time";
    }
    return "unknown failure";
}

void PrepareWriteJob(WriteJob& job)
{
    job.total = 0;
    job.line = 0;
    job.frames = 0;
    job.lastAddress = 0;
    job.failure = WriteFailure::None;
    job.source = nullptr;
    job.image = nullptr;
    job.imageSize = 0;
    job.batch = nullptr;
    job.batchSize = 0;
    job.running = 1;
}

void StartLineReader(LineReader& reader, FILE* source)
{
    reader.source = source;
    reader.data = reader.block;
    reader.position = 0;
    reader.filled = 0;
    reader.drained = false;
}

void StartLineReaderInMemory(LineReader& reader, const char* bytes, size_t size)
{
    reader.source = nullptr;
    reader.data = bytes;
    reader.position = 0;
    reader.filled = size;
    reader.drained = true;
}

namespace {

bool RefillBlock(LineReader& reader)
{
    if (reader.drained) return false;
    reader.filled = fread(reader.block, 1, sizeof reader.block, reader.source);
    reader.position = 0;
    if (reader.filled < sizeof reader.block) reader.drained = true;
    return reader.filled > 0;
}

// Takes the next piece of the current line from the block: up to and
// including its line feed, or the rest of the block. False at the end of
// the file (or on a read error).
bool NextPiece(LineReader& reader, const char*& piece, size_t& size, bool& lineEnds)
{
    if (reader.position == reader.filled && !RefillBlock(reader)) return false;
    piece = reader.data + reader.position;
    size_t available = reader.filled - reader.position;
    const char* lineFeed = static_cast<const char*>(memchr(piece, '\n', available));
    lineEnds = lineFeed != nullptr;
    size = lineEnds ? size_t(lineFeed - piece) + 1 : available;
    return true;
}

}  // namespace

// A line is everything up to and including its line feed, or up to the end
// of the file. A read error anywhere in it spoils the whole line.
LineRead ReadLine(LineReader& reader, char (&line)[kMaxLineLength], size_t& length)
{
    length = 0;
    const char* piece = nullptr;
    size_t size = 0;
    bool lineEnds = false;
    while (NextPiece(reader, piece, size, lineEnds)) {
        if (size > kMaxLineLength - length) return LineRead::TooLong;
        memcpy(line + length, piece, size);
        length += size;
        reader.position += size;
        if (lineEnds) return LineRead::Line;
    }
    if (reader.source && ferror(reader.source)) return LineRead::ReadError;
    return length == 0 ? LineRead::Ended : LineRead::Line;
}

void PassOverLine(LineReader& reader, size_t& length)
{
    const char* piece = nullptr;
    size_t size = 0;
    bool lineEnds = false;
    while (NextPiece(reader, piece, size, lineEnds)) {
        length += size;
        reader.position += size;
        if (lineEnds) return;
    }
}

WriteFailure FailureOfLineRead(LineRead read)
{
    switch (read) {
    case LineRead::Ended: return WriteFailure::FileEnded;
    case LineRead::ReadError: return WriteFailure::FileReadError;
    case LineRead::TooLong: return WriteFailure::LineTooLong;
    case LineRead::Line: break;
    }
    return WriteFailure::None;
}

namespace {

enum class StepResult { Done, Aborted, Failed };

// With an answer timeout, a port that takes nothing for that long fails
// the job; without one (the Windows program) it is waited for until ABORT.
struct Stall {
    bool waiting;                // the last write took nothing
    unsigned long long sinceMs;  // when the port last took a byte, or the send began
};

bool PortStalled(const WriteJob& job, long written, Stall& stall)
{
    if (job.answerTimeoutMs == 0) return false;
    unsigned long long now = job.seam.nowMs(job.seam.port);
    if (written > 0 || !stall.waiting) stall = {true, now};
    return now - stall.sinceMs >= job.answerTimeoutMs;
}

// Writes all of `bytes`, retrying short writes after a pause, without limit.
// Aborted when `running` is found cleared before a write; Failed (PortLost)
// when the port is gone.
StepResult SendAll(WriteJob& job, const uint8_t* bytes, size_t count)
{
    size_t remaining = count;
    Stall stall = {false, 0};
    while (remaining > 0) {
        if (!job.running) return StepResult::Aborted;
        long written = job.seam.write(job.seam.port, bytes, remaining);
        if (written < 0) {
            job.failure = WriteFailure::PortLost;
            return StepResult::Failed;
        }
        if (size_t(written) > remaining) written = long(remaining);  // a confused driver
        if (size_t(written) < remaining) {
            if (PortStalled(job, written, stall)) {
                job.failure = WriteFailure::PortStalled;
                return StepResult::Failed;
            }
            job.seam.pause(job.seam.port);
        }
        bytes += written;
        remaining -= size_t(written);
    }
    return StepResult::Done;
}

bool AnswerTimedOut(const WriteJob& job, unsigned long long waitStarted)
{
    if (job.answerTimeoutMs == 0) return false;
    return job.seam.nowMs(job.seam.port) - waitStarted >= job.answerTimeoutMs;
}

// The device's answer to the frame just sent. Bytes other than ACK and NAK
// are discarded; a read that brings nothing is repeated at once.
StepResult AwaitAnswer(WriteJob& job)
{
    unsigned long long waitStarted = job.answerTimeoutMs ? job.seam.nowMs(job.seam.port) : 0;
    for (;;) {
        if (!job.running) return StepResult::Aborted;
        uint8_t answer = 0;
        ReadResult read = job.seam.readByte(job.seam.port, &answer);
        if (read == ReadResult::Lost) {
            job.failure = WriteFailure::PortLost;
            return StepResult::Failed;
        }
        if (read == ReadResult::Byte && answer == kAck) return StepResult::Done;
        if (read == ReadResult::Byte && answer == kNak) {
            job.failure = WriteFailure::Nak;
            return StepResult::Failed;
        }
        if (AnswerTimedOut(job, waitStarted)) {
            job.failure = WriteFailure::NoAnswer;
            return StepResult::Failed;
        }
    }
}

WriteOutcome Finish(WriteJob& job, StepResult step)
{
    if (step == StepResult::Aborted) {
        job.seam.notify(job.seam.frontEnd, WriteNote::Aborted, 0);
        return WriteOutcome::Aborted;
    }
    job.seam.notify(job.seam.frontEnd, WriteNote::Error, 0);
    return WriteOutcome::Error;
}

WriteOutcome Fail(WriteJob& job, WriteFailure failure)
{
    job.failure = failure;
    return Finish(job, StepResult::Failed);
}

// Sends one encoded frame and, in ackMode, waits for its answer; then hands
// over the progress.
StepResult SendFrame(WriteJob& job, const uint8_t* frame, size_t size)
{
    job.total += FrameDataLength(frame);  // counted before the frame goes out
    StepResult step = SendAll(job, frame, size);
    if (step != StepResult::Done) return step;
    ++job.frames;
    job.lastAddress = FrameAddress(frame);
    if (job.ackMode == 1 && (step = AwaitAnswer(job)) != StepResult::Done) return step;
    job.seam.notify(job.seam.frontEnd, WriteNote::Progress, job.total);
    return StepResult::Done;
}

// Frames gathered for one write, where nothing is read between them.
struct Batch {
    size_t filled;
    unsigned long frames;
    uint32_t lastAddress;
};

// The gathered frames in one write, then their progress.
StepResult SendBatch(WriteJob& job, Batch& batch)
{
    if (batch.filled == 0) return StepResult::Done;
    StepResult step = SendAll(job, job.batch, batch.filled);
    if (step != StepResult::Done) return step;
    job.frames += batch.frames;
    job.lastAddress = batch.lastAddress;
    batch = {0, 0, 0};
    job.seam.notify(job.seam.frontEnd, WriteNote::Progress, job.total);
    return StepResult::Done;
}

StepResult AddToBatch(WriteJob& job, Batch& batch, const uint8_t* frame, size_t size)
{
    if (batch.filled + size > job.batchSize) {
        StepResult step = SendBatch(job, batch);
        if (step != StepResult::Done) return step;
    }
    std::memcpy(job.batch + batch.filled, frame, size);
    batch.filled += size;
    ++batch.frames;
    batch.lastAddress = FrameAddress(frame);
    job.total += FrameDataLength(frame);
    return StepResult::Done;
}

// The frames gathered before a failing line still go out, as they would
// have one by one; then the failure.
WriteOutcome FailAfterBatch(WriteJob& job, Batch& batch, WriteFailure failure)
{
    StepResult step = SendBatch(job, batch);
    return step == StepResult::Done ? Fail(job, failure) : Finish(job, step);
}

}  // namespace

WriteOutcome RunWriteJob(WriteJob& job)
{
    StepResult step = SendAll(job, StartSequence, kControlSequenceSize);
    if (step != StepResult::Done) return Finish(job, step);

    LineReader reader;
    if (job.source)
        StartLineReader(reader, job.source);
    else
        StartLineReaderInMemory(reader, job.image, job.imageSize);
    char line[kMaxLineLength];
    uint8_t frame[kMaxFrameSize];
    Batch batch = {0, 0, 0};
    bool batched = job.ackMode == 0 && job.batch && job.batchSize >= kMaxFrameSize;
    for (;;) {
        ++job.line;
        size_t length = 0;
        LineRead read = ReadLine(reader, line, length);
        if (read != LineRead::Line) return FailAfterBatch(job, batch, FailureOfLineRead(read));
        FrameResult encoded = EncodeLine(line, length, frame);
        if (encoded.kind == FrameKind::Reject) return FailAfterBatch(job, batch, WriteFailure::LineRejected);
        if (encoded.kind == FrameKind::End) break;
        step = batched ? AddToBatch(job, batch, frame, encoded.size) : SendFrame(job, frame, encoded.size);
        if (step != StepResult::Done) return Finish(job, step);
    }
    if ((step = SendBatch(job, batch)) != StepResult::Done) return Finish(job, step);
    step = SendAll(job, EndSequence, kControlSequenceSize);
    if (step != StepResult::Done) return Finish(job, step);
    job.seam.notify(job.seam.frontEnd, WriteNote::End, 0);
    return WriteOutcome::End;
}


namespace {

struct Sink {
    TakeBytes take;
    void* context;
};

long SinkWrite(void* port, const uint8_t* bytes, size_t count)
{
    const Sink& sink = *static_cast<const Sink*>(port);
    return sink.take(sink.context, bytes, count) ? long(count) : -1;
}

ReadResult SinkAnswer(void*, uint8_t* byte)
{
    *byte = kAck;
    return ReadResult::Byte;
}

void SinkPause(void*) {}
void SinkNote(void*, WriteNote, long long) {}
unsigned long long SinkClock(void*) { return 0; }

}  // namespace

WriteOutcome RunWriteJobOverSink(WriteJob& job, const char* image, size_t imageSize, TakeBytes take, void* context)
{
    Sink sink = {take, context};
    PrepareWriteJob(job);
    job.image = image;
    job.imageSize = imageSize;
    job.seam = {&sink, nullptr, SinkWrite, SinkAnswer, SinkPause, SinkNote, SinkClock};
    job.ackMode = 1;
    job.answerTimeoutMs = 0;
    return RunWriteJob(job);
}
