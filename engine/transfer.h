// The write job: start sequence, one frame per S-record line, the device's
// answers, progress, end sequence, and exactly one outcome. Portable: the
// worker meets the port and the front end only through TransferSeam.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "frame.h"

// Notifications from the worker to the front end, handed over synchronously:
// the worker goes on only once the front end has handled each one. The
// values are the Windows program's window messages (WM_USER + 10 ... + 13).
constexpr unsigned WM_WRITE_END = 0x040A;
constexpr unsigned WM_WRITE_ERROR = 0x040B;
constexpr unsigned WM_WRITE_PROGRESS = 0x040C;  // total = data bytes sent so far
constexpr unsigned WM_WRITE_ABORTED = 0x040D;

constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;

// A line is read whole: the longest S-record (514 characters) with CR LF.
constexpr size_t kMaxLineLength = 516;

enum class ReadResult {
    Byte,     // one byte arrived
    Nothing,  // the port's read timeout passed, or the read failed harmlessly
    Lost,     // the port is gone (hang-up, I/O error): waiting is pointless
};

// How the worker reaches the port and the front end. `port` and `dialog` are
// the contexts handed back to the operations.
struct TransferSeam {
    void* port;
    void* dialog;
    // Bytes that went out (0 is allowed: the worker pauses and retries);
    // negative when the port is gone.
    long (*write)(void* port, const uint8_t* bytes, size_t count);
    // Waits at most the port's read timeout for one byte.
    ReadResult (*readByte)(void* port, uint8_t* byte);
    // The pause after a short write (100 ms on a real port).
    void (*pause)(void* port);
    // Hands one notification to the front end and returns once it is handled.
    void (*notify)(void* dialog, unsigned message, long long total);
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
};

const char* WriteFailureText(WriteFailure failure);

struct WriteJob {
    // Set by the front end before the worker starts; not changed while it runs.
    FILE* source;
    TransferSeam seam;
    int ackMode;                          // 1: wait for ACK/NAK after every frame
    unsigned long answerTimeoutMs;        // 0: wait for ever (the Windows program)

    // 1 before the worker starts (front end); 0 on ABORT (front end, any
    // thread); polled by the worker before every port write and read.
    std::atomic<int> running;

    // Written by the worker only; valid for the front end inside a
    // notification and after the final one.
    long long total;          // data bytes sent (and acknowledged, in ackMode)
    unsigned long line;       // number of the line last read, from 1
    unsigned long frames;     // frames sent so far
    uint32_t lastAddress;     // ADDR of the last frame sent
    WriteFailure failure;     // why the job ended in WM_WRITE_ERROR
};

// Clears the worker-written fields and sets `running`; the front end fills
// source, seam, ackMode and answerTimeoutMs.
void PrepareWriteJob(WriteJob& job);

// Carries one job from the start sequence to its one final notification,
// which it also returns. Touches neither port nor file afterwards.
WriteOutcome RunWriteJob(WriteJob& job);

enum class StepResult { Done, Aborted, Failed };

// Writes all of `bytes`, retrying short writes after a pause, without limit.
// Aborted when `running` is found cleared before a write; Failed (PortLost)
// when the port is gone.
StepResult SendAll(WriteJob& job, const uint8_t* bytes, size_t count);

// The one process-wide job of the Windows program's write dialog.
extern WriteJob theWriteJob;

// Thread procedure of the write dialog's worker: runs theWriteJob.
void TransferWorker();
