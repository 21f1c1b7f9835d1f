// The transfer worker over a scripted port: bytes on the wire, answers,
// progress, aborts and the one outcome of every job.
#include <gtest/gtest.h>

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

Bytes Start() { return Bytes(StartSequence, StartSequence + kControlSequenceSize); }

// Every job ends with exactly one final notification, and it is the last.
void ExpectOneOutcome(const ScriptedPort& port)
{
    int finals = 0;
    for (const Note& note : port.notes) finals += note.message != WriteNote::Progress;
    ASSERT_EQ(finals, 1);
    EXPECT_NE(port.notes.back().message, WriteNote::Progress);
}

TEST(TransferWorker, WorkedExampleInAckMode)
{
    ScriptedPort port;
    AnswerEveryFrame(port);
    EXPECT_EQ(RunScripted(port, kWorkedFile, 1), WriteOutcome::End);
    EXPECT_EQ(port.wire, FromHex("1B 1D 3F 30 31 0A 00"
                                 "02 00 00 00 00 00 03 01 40"
                                 "02 10 00 00 00 00 28 5F 24 5F 22 12 22 6A 00 04 24 29 00 08 23 7C 03 16 BF"
                                 "1B 1D 3F 31 30 0A 00"));
    EXPECT_EQ(port.notes, (std::vector<Note>{Progress(0), Progress(16), kEndNote}));
    EXPECT_EQ(port.readCalls, 2);
}

TEST(TransferWorker, NoAckModeSendsTheSameBytesAndReadsNothing)
{
    ScriptedPort port;
    AnswerEveryFrame(port);
    EXPECT_EQ(RunScripted(port, kWorkedFile, 0), WriteOutcome::End);
    EXPECT_EQ(port.wire, WireFor({kHeader, kData}, true));
    EXPECT_EQ(port.readCalls, 0);
    EXPECT_EQ(port.notes, (std::vector<Note>{Progress(0), Progress(16), kEndNote}));
}

TEST(TransferWorker, ProgressIsTheRunningSumOfFrameLengths)
{
    ScriptedPort port;
    AnswerEveryFrame(port);
    EXPECT_EQ(RunScripted(port, kHeader + kData + kData2 + kData + kEnd, 1), WriteOutcome::End);
    EXPECT_EQ(port.notes, (std::vector<Note>{Progress(0), Progress(16), Progress(20), Progress(36), kEndNote}));
}

struct FileCase {
    const char* name;
    std::string file;
    WriteOutcome outcome;
    WriteFailure failure;
    Bytes wire;
    std::vector<Note> notes;
};

// Whole files, including the ones the device must never see half of.
TEST(TransferWorker, FileShapes)
{
    const std::string paddedEnd = "S9030000FC" + std::string(245, ' ');
    const std::string longest = "S3FF00000000" + std::string(500, '7') + "00";  // 514 characters
    const std::string tooLong = longest + "XYZ\n";  // 517 characters before its line feed
    const FileCase cases[] = {
        {"termination record only", kEnd, WriteOutcome::End, WriteFailure::None, WireFor({}, true), {kEndNote}},
        {"empty file", "", WriteOutcome::Error, WriteFailure::FileEnded, Start(), {kErrorNote}},
        {"last line without line end", kHeader + kData + "S9030000FC", WriteOutcome::End, WriteFailure::None,
         WireFor({kHeader, kData}, true), {Progress(0), Progress(16), kEndNote}},
        {"last line padded to 255 without line end", kData + paddedEnd, WriteOutcome::End, WriteFailure::None,
         WireFor({kData}, true), {Progress(16), kEndNote}},
        {"data as last line without line end", kData + "S2080100001122334477", WriteOutcome::Error,
         WriteFailure::FileEnded, WireFor({kData, kData2}, false), {Progress(16), Progress(20), kErrorNote}},
        {"no termination record", kHeader + kData, WriteOutcome::Error, WriteFailure::FileEnded,
         WireFor({kHeader, kData}, false), {Progress(0), Progress(16), kErrorNote}},
        {"blank line in the middle", kData + "\n" + kData + kEnd, WriteOutcome::Error, WriteFailure::LineRejected,
         WireFor({kData}, false), {Progress(16), kErrorNote}},
        {"CR LF line ends", "S00600004844521B\r\n" + kData.substr(0, kData.size() - 1) + "\r\nS9030000FC\r\n",
         WriteOutcome::End, WriteFailure::None, WireFor({kHeader, kData}, true),
         {Progress(0), Progress(16), kEndNote}},
        {"longest record with CR LF is sent whole", longest + "\r\n" + kEnd, WriteOutcome::End, WriteFailure::None,
         WireFor({longest}, true), {Progress(250), kEndNote}},
        {"line longer than any record: nothing of it sent", kData + tooLong + kEnd, WriteOutcome::Error,
         WriteFailure::LineTooLong, WireFor({kData}, false), {Progress(16), kErrorNote}},
        {"lines after the termination record are never read", kData + kEnd + "garbage\n\n", WriteOutcome::End,
         WriteFailure::None, WireFor({kData}, true), {Progress(16), kEndNote}},
        {"rejected termination record", kData + "S9ZZ0000FC\n", WriteOutcome::Error, WriteFailure::LineRejected,
         WireFor({kData}, false), {Progress(16), kErrorNote}},
    };
    for (const FileCase& c : cases) {
        SCOPED_TRACE(c.name);
        for (int ackMode : {0, 1}) {
            SCOPED_TRACE(ackMode);
            ScriptedPort port;
            AnswerEveryFrame(port);
            WriteJob job;
            EXPECT_EQ(RunScripted(port, c.file, ackMode, 0, &job), c.outcome);
            EXPECT_EQ(job.failure, c.failure);
            EXPECT_EQ(port.wire, c.wire);
            EXPECT_EQ(port.notes, c.notes);
            ExpectOneOutcome(port);
        }
    }
}

TEST(TransferWorker, RecordsLongerThanTheOldLineLimitAreNotCut)
{
    // 254 characters of record: with CR LF the line end used to be split off.
    std::string record = "S17D0000" + std::string(244, 'C') + "00";
    ASSERT_EQ(record.size(), 254u);
    for (const std::string& lineEnd : {std::string("\n"), std::string("\r\n")}) {
        ScriptedPort port;
        AnswerEveryFrame(port);
        EXPECT_EQ(RunScripted(port, record + lineEnd + kEnd, 1), WriteOutcome::End);
        EXPECT_EQ(port.wire, WireFor({record}, true));
        EXPECT_EQ(port.notes, (std::vector<Note>{Progress(0x7D - 3), kEndNote}));
    }
}

TEST(TransferWorker, FailureNamesTheLine)
{
    ScriptedPort port;
    AnswerEveryFrame(port);
    WriteJob job;
    EXPECT_EQ(RunScripted(port, kHeader + kData + "S1 broken\n" + kEnd, 1, 0, &job), WriteOutcome::Error);
    EXPECT_EQ(job.failure, WriteFailure::LineRejected);
    EXPECT_EQ(job.line, 3u);
    EXPECT_EQ(job.frames, 2u);
}

TEST(TransferWorker, NakFailsAtOnceAndNothingFollows)
{
    ScriptedPort port;
    port.answers = {{ReadResult::Byte, kAck}, {ReadResult::Byte, kNak}};
    AnswerEveryFrame(port);
    WriteJob job;
    EXPECT_EQ(RunScripted(port, kHeader + kData2 + kData + kEnd, 1, 0, &job), WriteOutcome::Error);
    EXPECT_EQ(job.failure, WriteFailure::Nak);
    EXPECT_EQ(job.frames, 2u);
    EXPECT_EQ(job.lastAddress, 0x00010000u);
    EXPECT_EQ(port.wire, WireFor({kHeader, kData2}, false));
    EXPECT_EQ(port.notes, (std::vector<Note>{Progress(0), kErrorNote}));
}

TEST(TransferWorker, OtherBytesBeforeTheAnswerAreDiscarded)
{
    ScriptedPort port;
    port.answers = {{ReadResult::Byte, 0x00}, {ReadResult::Nothing, 0}, {ReadResult::Byte, 'x'},
                    {ReadResult::Byte, 0xFF}, {ReadResult::Byte, kAck}};
    AnswerEveryFrame(port);
    EXPECT_EQ(RunScripted(port, kWorkedFile, 1), WriteOutcome::End);
    EXPECT_EQ(port.wire, WireFor({kHeader, kData}, true));
    EXPECT_EQ(port.readCalls, 6);
}

TEST(TransferWorker, SilentDeviceIsWaitedForWithoutLimit)
{
    ScriptedPort port;
    for (int i = 0; i < 1000; ++i) port.answers.push_back({ReadResult::Nothing, 0});
    AnswerEveryFrame(port);
    EXPECT_EQ(RunScripted(port, kData + kEnd, 1), WriteOutcome::End);
    EXPECT_EQ(port.readCalls, 1001);
    EXPECT_EQ(port.pauses, 0);
}

TEST(TransferWorker, AnswerTimeoutEndsTheWaitOnlyWhenAsked)
{
    ScriptedPort port;  // never answers; the fake clock runs 200 ms per read
    WriteJob job;
    EXPECT_EQ(RunScripted(port, kData + kEnd, 1, 1000, &job), WriteOutcome::Error);
    EXPECT_EQ(job.failure, WriteFailure::NoAnswer);
    EXPECT_EQ(port.readCalls, 5);
    EXPECT_EQ(port.wire, WireFor({kData}, false));

    ScriptedPort junk;  // chatters but never answers
    junk.afterScript = {ReadResult::Byte, 'j'};
    EXPECT_EQ(RunScripted(junk, kData + kEnd, 1, 1000, &job), WriteOutcome::Error);
    EXPECT_EQ(job.failure, WriteFailure::NoAnswer);
}

TEST(TransferWorker, LostPortFailsInsteadOfSpinning)
{
    ScriptedPort onRead;
    onRead.answers = {{ReadResult::Nothing, 0}, {ReadResult::Lost, 0}};
    WriteJob job;
    EXPECT_EQ(RunScripted(onRead, kData + kEnd, 1, 0, &job), WriteOutcome::Error);
    EXPECT_EQ(job.failure, WriteFailure::PortLost);
    EXPECT_EQ(onRead.readCalls, 2);

    ScriptedPort onWrite;
    onWrite.writeLimits = {7, 3, kLost};
    EXPECT_EQ(RunScripted(onWrite, kData + kEnd, 0, 0, &job), WriteOutcome::Error);
    EXPECT_EQ(job.failure, WriteFailure::PortLost);
    EXPECT_EQ(onWrite.notes, (std::vector<Note>{kErrorNote}));
}

TEST(TransferWorker, ShortAndEmptyWritesAreRetriedFromWhereTheyStopped)
{
    ScriptedPort port;
    AnswerEveryFrame(port);
    port.writeLimits = {0, 3, 0, 0, 4, 1, 30};  // start sequence in three calls, then the frames
    EXPECT_EQ(RunScripted(port, kWorkedFile, 1), WriteOutcome::End);
    EXPECT_EQ(port.wire, WireFor({kHeader, kData}, true));
    // A pause after every call that took less than was asked for.
    EXPECT_EQ(port.pauses, 5);
}

struct AbortCase {
    const char* name;
    std::string file;
    int atWrite, atRead, atNote;
    std::deque<Answer> answers;
    WriteOutcome outcome;
    Bytes wire;
    std::vector<Note> notes;
};

// ABORT takes effect at the worker's next look at `running`: before a port
// write, before a one-byte read.
TEST(TransferWorker, AbortAtEachPoint)
{
    const Answer ack = {ReadResult::Byte, kAck};
    const Bytes frameHeader = WireFor({kHeader}, false);
    const AbortCase cases[] = {
        {"during the start sequence", kWorkedFile, 0, -1, -1, {}, WriteOutcome::Aborted, Start(), {kAbortedNote}},
        {"during a frame write", kWorkedFile, 1, -1, -1, {}, WriteOutcome::Aborted, frameHeader, {kAbortedNote}},
        {"while waiting, read brings nothing", kWorkedFile, -1, 1, -1, {ack, {ReadResult::Nothing, 0}},
         WriteOutcome::Aborted, WireFor({kHeader, kData}, false), {Progress(0), kAbortedNote}},
        {"while waiting, read brings junk", kWorkedFile, -1, 0, -1, {{ReadResult::Byte, 'j'}},
         WriteOutcome::Aborted, frameHeader, {kAbortedNote}},
        {"while waiting, read brings NAK", kWorkedFile, -1, 0, -1, {{ReadResult::Byte, kNak}},
         WriteOutcome::Error, frameHeader, {kErrorNote}},
        {"while waiting, read brings ACK", kWorkedFile, -1, 0, -1, {ack}, WriteOutcome::Aborted, frameHeader,
         {Progress(0), kAbortedNote}},
        {"ACK read, next line rejected", kHeader + "junk\n", -1, 0, -1, {ack}, WriteOutcome::Error, frameHeader,
         {Progress(0), kErrorNote}},
        {"ACK read, file ends", kHeader, -1, 0, -1, {ack}, WriteOutcome::Error, frameHeader,
         {Progress(0), kErrorNote}},
        {"in a progress notification", kWorkedFile, -1, -1, 0, {}, WriteOutcome::Aborted, frameHeader,
         {Progress(0), kAbortedNote}},
        {"after the end sequence went out", kWorkedFile, 3, -1, -1, {}, WriteOutcome::End,
         WireFor({kHeader, kData}, true), {Progress(0), Progress(16), kEndNote}},
    };
    for (const AbortCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPort port;
        AnswerEveryFrame(port);
        port.answers = c.answers;
        port.abortAtWrite = c.atWrite;
        port.abortAtRead = c.atRead;
        port.abortAtNote = c.atNote;
        EXPECT_EQ(RunScripted(port, c.file, 1), c.outcome);
        EXPECT_EQ(port.wire, c.wire);
        EXPECT_EQ(port.notes, c.notes);
        ExpectOneOutcome(port);
    }
}

TEST(TransferWorker, AbortDuringAShortWriteStopsAfterThePause)
{
    ScriptedPort port;
    AnswerEveryFrame(port);
    port.writeLimits = {7, 5};  // the first frame goes out in part
    port.abortAtWrite = 1;
    EXPECT_EQ(RunScripted(port, kWorkedFile, 1), WriteOutcome::Aborted);
    EXPECT_EQ(port.wire.size(), 7u + 5u);
    EXPECT_EQ(port.pauses, 1);
    EXPECT_EQ(port.notes, (std::vector<Note>{kAbortedNote}));
}

// `running` cleared on another thread reaches a worker that waits for an
// answer that never comes (run under the thread sanitizer too).
TEST(TransferWorker, AbortFromAnotherThread)
{
    ScriptedPort port;
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    std::fputs(kWorkedFile.c_str(), file);
    std::rewind(file);
    WriteJob job;
    PrepareWriteJob(job);
    job.source = file;
    job.seam = SeamFor(port);
    job.ackMode = 1;
    job.answerTimeoutMs = 0;

    static std::atomic<bool> waiting;
    waiting = false;
    job.seam.readByte = [](void*, uint8_t*) {
        waiting = true;
        std::this_thread::yield();
        return ReadResult::Nothing;
    };
    WriteOutcome outcome = WriteOutcome::End;
    std::thread worker([&] { outcome = RunWriteJob(job); });
    while (!waiting) std::this_thread::yield();
    job.running = 0;
    worker.join();
    std::fclose(file);
    EXPECT_EQ(outcome, WriteOutcome::Aborted);
    EXPECT_EQ(port.notes, (std::vector<Note>{kAbortedNote}));
}

}  // namespace
