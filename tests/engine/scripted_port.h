// A scripted stand-in for the port and the front end: records what the
// worker writes and notifies, answers reads from a script, and can press
// ABORT at any chosen call.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "hex.h"
#include "transfer.h"

namespace quorvane_test {

struct Answer {
    ReadResult result;
    uint8_t byte;
};

struct Note {
    WriteNote message;
    long long total;
    bool operator==(const Note& other) const { return message == other.message && total == other.total; }
};

constexpr long kLost = -1;

struct ScriptedPort {
    // Script. Write call n accepts at most writeLimits[n] bytes (kLost: the
    // port is gone); calls past the list accept everything.
    std::vector<long> writeLimits;
    // Read call n gets answers[n]; past the list every read gets `afterScript`.
    std::deque<Answer> answers;
    Answer afterScript = {ReadResult::Nothing, 0};
    unsigned long long msPerRead = 200;  // the fake clock advances with every read
    size_t batchSize = 0;                // gather frames into writes of this size; 0: one per frame

    // ABORT pressed during the n-th call (from 0) of each kind; -1: never.
    int abortAtWrite = -1;
    int abortAtRead = -1;
    int abortAtNote = -1;

    // Record.
    Bytes wire;
    std::vector<Note> notes;
    int writeCalls = 0;
    int readCalls = 0;
    int pauses = 0;
    unsigned long long clockMs = 0;

    WriteJob* job = nullptr;
};

TransferSeam SeamFor(ScriptedPort& port);

// An ACK for every frame, as a well-behaved serial device gives.
inline void AnswerEveryFrame(ScriptedPort& port) { port.afterScript = {ReadResult::Byte, kAck}; }

// Runs one whole job on `fileText` over `port`.
WriteOutcome RunScripted(ScriptedPort& port, const std::string& fileText, int ackMode,
                         unsigned long answerTimeoutMs = 0, WriteJob* jobOut = nullptr);

// What a faithful worker puts on the wire for these lines, ending with the
// end sequence when `withEnd`.
Bytes WireFor(const std::vector<std::string>& lines, bool withEnd);

}  // namespace quorvane_test
