// The write job: start sequence, one frame per S-record line, the device's
// answers, progress, end sequence, and exactly one outcome. Portable: the
// worker meets the port and the front end only through TransferSeam, and
// reads the firmware only through the line reader, which the strict check
// of the command line shares so that both see the same lines.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "frame.h"

constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;

// A line is read whole: the longest S-record (514 characters) with CR LF.
constexpr size_t kMaxLineLength = 516;

// Reads whole lines, from a stream through a fixed block or straight from
// bytes in memory, so a line is never cut and no allocation is made per line.
struct LineReader {
    FILE* source;       // null: the lines come from the bytes in memory alone
    const char* data;   // what is being read: `block`, or the bytes in memory
    size_t position;
    size_t filled;
    bool drained;       // nothing more to read: the stream's end or an error
    char block[16384];
};

enum class LineRead {
    Line,       // a line: everything up to and including its line feed, or up to the end of the file
    Ended,      // the file ended before the line began
    ReadError,  // reading failed; nothing of the line counts
    TooLong,    // longer than kMaxLineLength; the reader stands inside it
};

void StartLineReader(LineReader& reader, FILE* source);
void StartLineReaderInMemory(LineReader& reader, const char* bytes, size_t size);

// The next line into `line`, `length` characters (NUL bytes included, as
// read). A line too long stops the reading at once, inside that line.
LineRead ReadLine(LineReader& reader, char (&line)[kMaxLineLength], size_t& length);

// After TooLong: passes over the rest of that line, adding its characters
// to `length`, so that reading can go on with the next line.
void PassOverLine(LineReader& reader, size_t& length);

enum class ReadResult {
    Byte,     // one byte arrived
    Nothing,  // the port's read timeout passed, or the read failed harmlessly
    Lost,     // the port is gone (hang-up, I/O error): waiting is pointless
};

// What the worker tells the front end, each handed over synchronously: the
// worker goes on only once the front end has handled it.
enum class WriteNote {
    Progress,  // a frame has been sent (and answered, in ackMode); total = data bytes so far
    End,       // the end sequence went out: the write succeeded
    Error,     // the write failed
    Aborted,   // the worker found `running` cleared
};

// How the worker reaches the port and the front end: the operations get
// back their own context, `port` or `frontEnd`.
struct TransferSeam {
    void* port;
    void* frontEnd;
    // Bytes that went out (0 is allowed: the worker pauses and retries);
    // negative when the port is gone.
    long (*write)(void* port, const uint8_t* bytes, size_t count);
    // Waits at most the port's read timeout for one byte.
    ReadResult (*readByte)(void* port, uint8_t* byte);
    // The pause after a short write (100 ms on a real port).
    void (*pause)(void* port);
    // Hands one notification to the front end and returns once it is handled.
    void (*notify)(void* frontEnd, WriteNote note, long long total);
    // Milliseconds from any fixed point; needed only with an answer timeout.
    unsigned long long (*nowMs)(void* port);
};

enum class WriteOutcome { End, Error, Aborted };

// Why a job failed, for front ends that can show more than "Write Error !".
enum class WriteFailure {
    None,
    LineRejected,     // the line at `line` is not an acceptable record
    FileEnded,        // the file ended before a termination record
    FileReadError,    // reading the file failed
    LineTooLong,      // the line at `line` exceeds kMaxLineLength
    Nak,              // the device refused frame `frames`
    NoAnswer,         // no answer within the answer timeout after frame `frames`
    PortLost,         // the port went away
    PortStalled,      // the port took nothing for the answer timeout
};

const char* WriteFailureText(WriteFailure failure);

// The failure a line read other than LineRead::Line ends a job with.
WriteFailure FailureOfLineRead(LineRead read);

struct WriteJob {
    // Set by the front end before the worker starts; not changed while it runs.
    FILE* source;              // the firmware file; null: the bytes at `image`
    const char* image;         // the firmware in memory, `imageSize` bytes, read-only
    size_t imageSize;
    TransferSeam seam;
    int ackMode;               // 1: wait for ACK/NAK after every frame
    // Where nothing is read between frames (ackMode 0), frames may go out
    // gathered into writes of up to `batchSize` bytes through `batch`, which
    // the front end owns; the device sees the same bytes in the same order,
    // and progress comes once per write. Null: one write per frame.
    uint8_t* batch;
    size_t batchSize;
    // How long the device may leave a frame unanswered, and the port leave
    // bytes untaken; 0: for ever (the Windows program).
    unsigned long answerTimeoutMs;

    // 1 before the worker starts (front end); 0 on ABORT (front end, any
    // thread); polled by the worker before every port write and read.
    std::atomic<int> running;

    // Written by the worker only; valid for the front end inside a
    // notification and after the final one.
    long long total;          // data bytes sent (and acknowledged, in ackMode)
    unsigned long line;       // number of the line last read, from 1
    unsigned long frames;     // frames sent so far
    uint32_t lastAddress;     // ADDR of the last frame sent
    WriteFailure failure;     // why the job ended in WriteNote::Error
};

// Clears the worker-written fields, the firmware and the batch, and sets
// `running`; the front end fills source (or image), seam, ackMode and
// answerTimeoutMs, and a batch if it wants one.
void PrepareWriteJob(WriteJob& job);

// Carries one job from the start sequence to its one final notification,
// which it also returns. Touches neither port nor file afterwards.
WriteOutcome RunWriteJob(WriteJob& job);

// A device that takes every write whole and acknowledges every frame, for
// the front ends that need the job's bytes and no port: `take` gets each
// control sequence and each frame as the port would; false ends the job as
// a lost port. Runs `image` from the start sequence to the one outcome.
using TakeBytes = bool (*)(void* context, const uint8_t* bytes, size_t count);
WriteOutcome RunWriteJobOverSink(WriteJob& job, const char* image, size_t imageSize, TakeBytes take, void* context);
