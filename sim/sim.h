// The simulated target device: a checker that follows the byte stream a
// sender puts on the line (start sequence, frames, end sequence, junk) and
// decides each frame's answer from the fault policy. Portable and free of
// clocks and sleeps: the caller passes the time with every byte and sends
// the answers when they fall due.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame.h"

// What the device does besides answering every good frame with ACK.
struct SimPolicy {
    bool silent;                  // never send a byte (parallel port, USB port)
    unsigned long nakFrame;       // answer this frame (from 1) with NAK; 0: none
    unsigned long noAnswerFrame;  // never answer this frame; 0: none
    unsigned junkCount;           // junk bytes sent before every answer
    unsigned long delayMs;        // every answer goes out this much later
    unsigned long baud;           // hold each frame for its time on the wire; 0: off
    unsigned long latencyMs;      // an adapter's latency timer: answers wait for its next tick; 0: none
    unsigned long eventChar = 0;  // the adapter's event character (0x100 | byte): an answer ending in it
                                  // is passed on at once, not at the timer's tick; 0: none
};

// Sent before an answer by --junk: neither ACK nor NAK.
constexpr uint8_t kSimJunkByte = 0x55;
constexpr size_t kSimMaxJunk = 4096;

enum class SimEventKind {
    Start,      // a whole start sequence
    Frame,      // a whole frame, good or bad
    End,        // a whole end sequence
    Junk,       // a run of bytes that belong to nothing
    Truncated,  // the stream ended inside a frame
};

enum class SimAnswer { None, Ack, Nak };

struct SimEvent {
    SimEventKind kind;
    unsigned long index;     // Frame: counts every frame, from 1
    uint32_t address;        // Frame: ADDR
    size_t length;           // Frame: LEN; Junk, Truncated: bytes
    bool crcOk;              // Frame: ETX in place and the CRC right
    SimAnswer answer;        // Frame: what the device sends back
    uint64_t answerDueNs;    // Frame with an answer: when it goes out
};

// The bytes that carry `answer` under `policy` (its junk, then ACK or NAK)
// into `bytes`, which holds kSimMaxJunk + 1; returns how many (0 for none).
size_t SimAnswerBytes(const SimPolicy& policy, SimAnswer answer, uint8_t* bytes);

// Counts for the verdict; bad means something a well-formed job never sends.
struct SimTotals {
    unsigned long starts;
    unsigned long ends;
    unsigned long frames;
    unsigned long badFrames;      // wrong CRC or ETX
    unsigned long junkRuns;
    unsigned long long junkBytes;
    unsigned long truncated;
    unsigned long outOfPlace;     // a frame or end outside a job, a start inside one
    bool jobOpen;                 // a start has not yet been closed by its end
};

enum class SimParse { Idle, Control, Frame };

struct SimChecker {
    SimPolicy policy;
    SimTotals totals;
    SimParse state;
    size_t filled;                   // bytes of the unit being received
    uint8_t unit[kMaxFrameSize];     // the control sequence or frame so far
    unsigned long long junkRun;      // junk bytes not yet reported
    uint64_t lineFreeNs;             // when the emulated line has carried all bytes so far
};

// Receives the checker's events, in stream order.
struct SimSink {
    void* context;
    void (*event)(void* context, const SimEvent& event);
};

void StartChecker(SimChecker& checker, const SimPolicy& policy);

// The bytes received at `nowNs` (any monotonic clock, in nanoseconds).
void FeedChecker(SimChecker& checker, const uint8_t* bytes, size_t count, uint64_t nowNs,
                 const SimSink& sink);

// The stream has ended: reports a pending junk run or a cut frame.
void FinishChecker(SimChecker& checker, const SimSink& sink);

// Exit status: 0 when everything received was well formed (one or more
// jobs of start, good frames and end; nothing else), 1 otherwise.
int SimVerdict(const SimTotals& totals);

// One transcript line for the event, JSON with a line feed; returns its
// length (always fits in kSimEventTextSize).
constexpr size_t kSimEventTextSize = 160;
size_t FormatSimEvent(const SimEvent& event, char* text, size_t size);

// Host turnaround, for --timing: per answered frame, when its answer fell
// due, when the write that carried it returned, and when the next byte from
// the sender arrived (any monotonic clock, in nanoseconds). The sender's time
// between answer and next frame is nextByteNs - writtenNs.
struct SimTurnaround {
    unsigned long frame;     // the frame's index, from 1
    uint64_t dueNs;          // when the checker let the answer go
    uint64_t writtenNs;      // when the answer's last byte was written
    uint64_t nextByteNs;     // 0: no byte came before the next answer or the end
};

// Receives the finished rows in blocks, in frame order.
struct SimTimingSink {
    void* context;
    void (*rows)(void* context, const SimTurnaround* rows, size_t count);
};

// Rows are kept in a fixed block and handed on when it is full, so timing
// costs no allocation and no file write per frame.
constexpr size_t kSimTimingBlock = 1024;

struct SimTiming {
    SimTimingSink sink;
    bool open;                         // block[count] waits for the next byte
    size_t count;                      // finished rows in block
    SimTurnaround block[kSimTimingBlock];
};

void StartTiming(SimTiming& timing, const SimTimingSink& sink);

// The answer to `frame` has been written. A row still waiting for a byte
// is finished without one.
void NoteAnswerWritten(SimTiming& timing, unsigned long frame, uint64_t dueNs, uint64_t nowNs);

// Bytes from the sender arrived: the waiting row, if any, is finished.
void NoteBytesArrived(SimTiming& timing, uint64_t nowNs);

// Finishes the waiting row without a next byte and hands on every row.
void FinishTiming(SimTiming& timing);

// One line of the --timing file: "FRAME DUE_NS WRITTEN_NS NEXT_BYTE_NS" and
// a line feed; returns its length (always fits in kSimTurnaroundTextSize).
constexpr size_t kSimTurnaroundTextSize = 96;
size_t FormatSimTurnaround(const SimTurnaround& row, char* text, size_t size);

// The command line of quorvane-sim.
struct SimOptions {
    SimPolicy policy;
    const char* port;        // serve this path instead of a new pty; null: openpty
    const char* link;        // make this a symlink to the sender's end; null: none
    const char* transcript;  // JSON lines of events; null: none
    const char* raw;         // every byte received; null: none
    const char* timing;      // a line per answered frame with its times; null: none
    bool once;               // exit after the end sequence
    unsigned long replugMs;  // after each end sequence, unplugged for this long, then a new pty; 0: never
    unsigned long count;     // devices played at once, each on a pty of its own (its paths take %d); 1 by default
    bool help;
    bool version;
};

// Devices one simulator plays at most (--count).
constexpr unsigned long kSimMaxDevices = 64;

// A path of the pattern for device `board` (from 1): its one "%d" replaced
// by the number; false when the pattern has another '%' or, with several
// devices, no "%d" (they would share one file).
bool FormatSimPath(const char* pattern, unsigned long board, bool several, char* path, size_t size);

constexpr int kSimExitWellFormed = 0;
constexpr int kSimExitMalformed = 1;
constexpr int kSimExitUsage = 2;

// Fills `options` from argv[1..]; false with a message in `error` (up to
// `errorSize` bytes) on a usage error.
bool ParseSimOptions(int argc, char** argv, SimOptions& options, char* error, size_t errorSize);

extern const char kSimHelp[];
