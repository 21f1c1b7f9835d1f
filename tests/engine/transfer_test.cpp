// The transfer worker over a scripted port: one table of file shapes, port
// scripts and abort points, each with the outcome, the bytes on the wire
// and the notifications.
#include <gtest/gtest.h>

#include <chrono>

#include <string>
#include <thread>
#include <vector>

#include "scripted_port.h"

namespace {

using namespace quorvane_test;

const std::string kHeader = "S00600004844521B\n";
const std::string kData = "S1130000285F245F2212226A000424290008237C2A\n";
const std::string kData2 = "S2080100001122334477\n";
const std::string kEnd = "S9030000FC\n";
const std::string kWorkedFile = kHeader + kData + kEnd;

const Note kEndNote = {WriteNote::End, 0};
const Note kErrorNote = {WriteNote::Error, 0};
const Note kAbortedNote = {WriteNote::Aborted, 0};
Note Progress(long long total) { return {WriteNote::Progress, total}; }

const Answer kAckByte = {ReadResult::Byte, kAck};
const Answer kNothing = {ReadResult::Nothing, 0};
Answer Byte(uint8_t byte) { return {ReadResult::Byte, byte}; }

Bytes Start() { return WireFor({}, false); }
Bytes Sent(const std::vector<std::string>& lines) { return WireFor(lines, false); }
Bytes Whole(const std::vector<std::string>& lines) { return WireFor(lines, true); }

struct JobCase {
    const char* name;
    std::string file;
    WriteOutcome outcome;
    WriteFailure failure;
    Bytes wire;
    std::vector<Note> notes;
    // The script: read answers, then `afterScript`; write limits; ABORT.
    std::deque<Answer> answers = {};
    std::vector<long> writeLimits = {};
    int abortAtWrite = -1, abortAtRead = -1, abortAtNote = -1;
    unsigned long timeoutMs = 0;
    Answer afterScript = kAckByte;
    int ackMode = 1;
    int reads = -1, pauses = -1;  // -1: not looked at
    size_t batchSize = 0;
    int writes = -1;
};

std::vector<JobCase> JobCases()
{
    const std::string paddedEnd = "S9030000FC" + std::string(245, ' ');
    const std::string longest = "S3FF00000000" + std::string(500, '7') + "00";  // 514 characters
    const std::string old254 = "S17D0000" + std::string(244, 'C') + "00";       // cut by the old line limit
    const WriteOutcome end = WriteOutcome::End, error = WriteOutcome::Error, aborted = WriteOutcome::Aborted;
    const WriteFailure none = WriteFailure::None;
    return {
        {"worked example", kWorkedFile, end, none,
         FromHex("1B 1D 3F 30 31 0A 00 02 00 00 00 00 00 03 01 40"
                 "02 10 00 00 00 00 28 5F 24 5F 22 12 22 6A 00 04 24 29 00 08 23 7C 03 16 BF 1B 1D 3F 31 30 0A 00"),
         {Progress(0), Progress(16), kEndNote}, {}, {}, -1, -1, -1, 0, kAckByte, 1, 2},
        {"ackMode 0 sends the same bytes and reads nothing", kWorkedFile, end, none, Whole({kHeader, kData}),
         {Progress(0), Progress(16), kEndNote}, {}, {}, -1, -1, -1, 0, kNothing, 0, 0},
        {"progress is the running sum of LEN", kHeader + kData + kData2 + kData + kEnd, end, none,
         Whole({kHeader, kData, kData2, kData}), {Progress(0), Progress(16), Progress(20), Progress(36), kEndNote}},
        // Without answers, frames may go out gathered: the same bytes, fewer writes and progress notes.
        {"frames gathered into one write", kWorkedFile + "", end, none, Whole({kHeader, kData}),
         {Progress(16), kEndNote}, {}, {}, -1, -1, -1, 0, kNothing, 0, 0, -1, kMaxFrameSize, 3},
        {"a full batch goes out before the next frame", kData + kData + kData + kData + kData + kData + kData + kData +
         kData + kData + kData + kEnd, end, none, Whole(std::vector<std::string>(11, kData)),
         {Progress(160), Progress(176), kEndNote}, {}, {}, -1, -1, -1, 0, kNothing, 0, 0, -1, kMaxFrameSize, 4},
        {"gathered frames before a rejected line still go out", kData + "junk\n", error, WriteFailure::LineRejected,
         Sent({kData}), {Progress(16), kErrorNote}, {}, {}, -1, -1, -1, 0, kNothing, 0, 0, -1, kMaxFrameSize},
        {"ABORT before a gathered write", kData + kEnd, aborted, none, Start(), {kAbortedNote}, {}, {}, 0, -1, -1,
         0, kNothing, 0, -1, -1, kMaxFrameSize},
        // File shapes.
        {"termination record only", kEnd, end, none, Whole({}), {kEndNote}},
        {"empty file", "", error, WriteFailure::FileEnded, Start(), {kErrorNote}},
        {"last line without line end", kData + "S9030000FC", end, none, Whole({kData}), {Progress(16), kEndNote}},
        {"last line padded to 255, no line end", kData + paddedEnd, end, none, Whole({kData}),
         {Progress(16), kEndNote}},
        {"data as the last line, no line end", kData + "S2080100001122334477", error, WriteFailure::FileEnded,
         Sent({kData, kData2}), {Progress(16), Progress(20), kErrorNote}},
        {"no termination record", kHeader + kData, error, WriteFailure::FileEnded, Sent({kHeader, kData}),
         {Progress(0), Progress(16), kErrorNote}},
        {"blank line in the middle", kData + "\n" + kData + kEnd, error, WriteFailure::LineRejected, Sent({kData}),
         {Progress(16), kErrorNote}},
        {"CR LF line ends", "S00600004844521B\r\nS1130000285F245F2212226A000424290008237C2A\r\nS9030000FC\r\n", end,
         none, Whole({kHeader, kData}), {Progress(0), Progress(16), kEndNote}},
        {"the longest record with CR LF is sent whole", longest + "\r\n" + kEnd, end, none, Whole({longest}),
         {Progress(250), kEndNote}},
        {"a 254-character record with CR LF", old254 + "\r\n" + kEnd, end, none, Whole({old254}),
         {Progress(0x7D - 3), kEndNote}},
        {"a line longer than any record: nothing of it sent", kData + longest + "XYZ\n" + kEnd, error,
         WriteFailure::LineTooLong, Sent({kData}), {Progress(16), kErrorNote}},
        {"lines after the termination record are never read", kData + kEnd + "garbage\n\n", end, none,
         Whole({kData}), {Progress(16), kEndNote}},
        {"rejected termination record", kData + "S9ZZ0000FC\n", error, WriteFailure::LineRejected, Sent({kData}),
         {Progress(16), kErrorNote}},
        // The device's answers.
        {"NAK fails at once, nothing follows", kHeader + kData2 + kData + kEnd, error, WriteFailure::Nak,
         Sent({kHeader, kData2}), {Progress(0), kErrorNote}, {kAckByte, Byte(kNak)}},
        {"other bytes before the answer are discarded", kWorkedFile, end, none, Whole({kHeader, kData}),
         {Progress(0), Progress(16), kEndNote}, {Byte(0), kNothing, Byte('x'), Byte(0xFF), kAckByte}, {}, -1, -1, -1,
         0, kAckByte, 1, 6},
        {"a silent device is waited for without limit", kData + kEnd, end, none, Whole({kData}),
         {Progress(16), kEndNote}, std::deque<Answer>(1000, kNothing), {}, -1, -1, -1, 0, kAckByte, 1, 1001, 0},
        {"the answer timeout ends the wait", kData + kEnd, error, WriteFailure::NoAnswer, Sent({kData}),
         {kErrorNote}, {}, {}, -1, -1, -1, 1000, kNothing, 1, 5},
        {"chatter is no answer", kData + kEnd, error, WriteFailure::NoAnswer, Sent({kData}),
         {kErrorNote}, {}, {}, -1, -1, -1, 1000, Byte('j')},
        {"a port lost while waiting", kData + kEnd, error, WriteFailure::PortLost, Sent({kData}),
         {kErrorNote}, {kNothing, {ReadResult::Lost, 0}}, {}, -1, -1, -1, 0, kAckByte, 1, 2},
        {"a port lost while writing", kData + kEnd, error, WriteFailure::PortLost, FromHex("1B 1D 3F 30 31 0A 00 02 10 00"),
         {kErrorNote}, {}, {7, 3, kLost}, -1, -1, -1, 0, kAckByte, 0},
        {"short and empty writes are retried after a pause", kWorkedFile, end, none, Whole({kHeader, kData}),
         {Progress(0), Progress(16), kEndNote}, {}, {0, 3, 0, 0, 4, 1, 30}, -1, -1, -1, 0, kAckByte, 1, -1, 5},
        {"a port that takes nothing for the timeout", kWorkedFile, error, WriteFailure::PortStalled,
         FromHex("1B 1D"), {kErrorNote}, {}, {2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, -1, -1, -1, 1000},
        // ABORT takes effect at the next look at `running`: before a write or a read.
        {"ABORT in the start sequence", kWorkedFile, aborted, none, Start(), {kAbortedNote}, {}, {}, 0},
        {"ABORT in a frame", kWorkedFile, aborted, none, Sent({kHeader}), {kAbortedNote}, {}, {}, 1},
        {"ABORT in a short write stops after the pause", kWorkedFile, aborted, none,
         FromHex("1B 1D 3F 30 31 0A 00 02 00 00 00 00"), {kAbortedNote}, {}, {7, 5}, 1, -1, -1, 0, kAckByte, 1, -1, 1},
        {"ABORT, the read brings nothing", kWorkedFile, aborted, none, Sent({kHeader, kData}),
         {Progress(0), kAbortedNote}, {kAckByte, kNothing}, {}, -1, 1},
        {"ABORT, the read brings junk", kWorkedFile, aborted, none, Sent({kHeader}), {kAbortedNote}, {Byte('j')}, {},
         -1, 0},
        {"ABORT, the read brings NAK", kWorkedFile, error, WriteFailure::Nak, Sent({kHeader}), {kErrorNote},
         {Byte(kNak)}, {}, -1, 0},
        {"ABORT, the read brings ACK", kWorkedFile, aborted, none, Sent({kHeader}), {Progress(0), kAbortedNote},
         {kAckByte}, {}, -1, 0},
        {"ABORT, ACK, then a rejected line", kHeader + "junk\n", error, WriteFailure::LineRejected, Sent({kHeader}),
         {Progress(0), kErrorNote}, {kAckByte}, {}, -1, 0},
        {"ABORT, ACK, then the file ends", kHeader, error, WriteFailure::FileEnded, Sent({kHeader}),
         {Progress(0), kErrorNote}, {kAckByte}, {}, -1, 0},
        {"ABORT in a progress notification", kWorkedFile, aborted, none, Sent({kHeader}),
         {Progress(0), kAbortedNote}, {}, {}, -1, -1, 0},
        {"ABORT after the end sequence went out", kWorkedFile, end, none, Whole({kHeader, kData}),
         {Progress(0), Progress(16), kEndNote}, {}, {}, 3},
    };
}

TEST(TransferWorker, EveryJobEndsAsScripted)
{
    for (const JobCase& c : JobCases()) {
        SCOPED_TRACE(c.name);
        ScriptedPort port;
        port.answers = c.answers;
        port.afterScript = c.afterScript;
        port.writeLimits = c.writeLimits;
        port.abortAtWrite = c.abortAtWrite;
        port.abortAtRead = c.abortAtRead;
        port.abortAtNote = c.abortAtNote;
        port.batchSize = c.batchSize;
        WriteJob job;
        EXPECT_EQ(RunScripted(port, c.file, c.ackMode, c.timeoutMs, &job), c.outcome);
        EXPECT_EQ(job.failure, c.failure);
        EXPECT_EQ(port.wire, c.wire);
        EXPECT_EQ(port.notes, c.notes);
        auto counted = [](int wanted, int calls) { return wanted < 0 ? wanted : calls; };  // -1: not looked at
        EXPECT_EQ(counted(c.reads, port.readCalls), c.reads) << "reads";
        EXPECT_EQ(counted(c.pauses, port.pauses), c.pauses) << "pauses";
        EXPECT_EQ(counted(c.writes, port.writeCalls), c.writes) << "writes";
    }
}

// `running` cleared on another thread reaches a worker that waits for an
// answer that never comes (run under the thread sanitizer too).
TEST(TransferWorker, AbortFromAnotherThread)
{
    static ScriptedPort port;
    static std::atomic<bool> waiting{false};
    static WriteJob job;
    // Bounded: a worker that never looks at `running` loses its port at the
    // deadline and the test fails, rather than spinning for ever.
    static const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string file = kWorkedFile;
    PrepareWriteJob(job);
    job.image = file.data();
    job.imageSize = file.size();
    job.seam = SeamFor(port);
    job.seam.readByte = [](void*, uint8_t*) {
        waiting = true;
        std::this_thread::yield();
        return std::chrono::steady_clock::now() < deadline ? ReadResult::Nothing : ReadResult::Lost;
    };
    job.ackMode = 1;
    job.answerTimeoutMs = 0;
    WriteOutcome outcome = WriteOutcome::End;
    std::thread worker([&] { outcome = RunWriteJob(job); });
    while (!waiting && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    job.running = 0;
    worker.join();
    EXPECT_EQ(outcome, WriteOutcome::Aborted);
    EXPECT_EQ(port.notes, (std::vector<Note>{kAbortedNote}));
}

}  // namespace
