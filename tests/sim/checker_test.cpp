// The simulated device's checker and answer policy over hand-made streams.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "hex.h"
#include "sim.h"

namespace {

using quorvane_test::Bytes;
using quorvane_test::FromHex;

const char kStart[] = "1B 1D 3F 30 31 0A 00";
const char kEnd[] = "1B 1D 3F 31 30 0A 00";
// Frames of the worked examples (S0 header, S1, S2 and S3 records).
const char kHeaderFrame[] = "02 00 00 00 00 00 03 01 40";
const char kS1Frame[] = "02 10 00 00 00 00 28 5F 24 5F 22 12 22 6A 00 04 24 29 00 08 23 7C 03 16 BF";
const char kS2Frame[] = "02 04 00 01 00 00 11 22 33 44 03 6C F5";
const char kS3Frame[] = "02 05 00 01 00 00 01 02 03 04 00 03 C9 65";
// The S1 frame with its last CRC byte changed.
const char kS1FrameBadCrc[] = "02 10 00 00 00 00 28 5F 24 5F 22 12 22 6A 00 04 24 29 00 08 23 7C 03 16 BE";

// A frame from STX, LEN, ADDR, DATA and the byte in ETX's place, with the
// CRC over everything after STX, as a sender with a wrong ETX would build it.
Bytes WithCrc(const std::string& hex)
{
    Bytes frame = FromHex(hex);
    uint16_t crc = 0;
    for (size_t i = 1; i < frame.size(); ++i) UpdateCrc16(crc, frame[i]);
    frame.push_back(uint8_t(crc >> 8));
    frame.push_back(uint8_t(crc & 0xFF));
    return frame;
}

std::string Hex(const Bytes& bytes)
{
    std::string text;
    char digits[4];
    for (uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02X ", byte);
        text += digits;
    }
    return text;
}

// One line per event, with what the tables check.
std::string Describe(const SimEvent& event)
{
    const char* answers[] = {"none", "ack", "nak"};
    char text[128];
    switch (event.kind) {
    case SimEventKind::Start: return "start";
    case SimEventKind::End: return "end";
    case SimEventKind::Junk: std::snprintf(text, sizeof text, "junk %zu", event.length); return text;
    case SimEventKind::Truncated: std::snprintf(text, sizeof text, "truncated %zu", event.length); return text;
    case SimEventKind::Frame:
        std::snprintf(text, sizeof text, "frame %lu @%X len %zu %s %s", event.index, unsigned(event.address),
                      event.length, event.crcOk ? "good" : "bad", answers[int(event.answer)]);
        return text;
    }
    return "?";
}

struct Recorder {
    std::vector<SimEvent> events;
    std::vector<std::string> described;
};

void Record(void* context, const SimEvent& event)
{
    Recorder& recorder = *static_cast<Recorder*>(context);
    recorder.events.push_back(event);
    recorder.described.push_back(Describe(event));
}

SimSink SinkFor(Recorder& recorder)
{
    return {&recorder, Record};
}

const SimPolicy kAnswerEveryFrame = {false, 0, 0, 0, 0, 0, 0};

// Feeds `stream` in pieces cut at `cuts` (increasing offsets), all at time 0.
Recorder CheckInPieces(const Bytes& stream, const std::vector<size_t>& cuts, SimChecker& checker,
                       const SimPolicy& policy = kAnswerEveryFrame)
{
    Recorder recorder;
    StartChecker(checker, policy);
    size_t from = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(stream.size());
    for (size_t to : ends) {
        FeedChecker(checker, stream.data() + from, to - from, 0, SinkFor(recorder));
        from = to;
    }
    FinishChecker(checker, SinkFor(recorder));
    return recorder;
}

Recorder Check(const Bytes& stream, SimChecker& checker, const SimPolicy& policy = kAnswerEveryFrame)
{
    return CheckInPieces(stream, {}, checker, policy);
}

Bytes Join(const std::vector<std::string>& hexParts)
{
    Bytes stream;
    for (const std::string& part : hexParts) {
        Bytes bytes = FromHex(part);
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    return stream;
}

struct StreamCase {
    const char* name;
    Bytes stream;
    std::vector<std::string> events;
    int verdict;
};

std::vector<StreamCase> StreamCases()
{
    Bytes lenMax = FromHex("02 FF 12 34 56 78");
    lenMax.resize(lenMax.size() + 255, 0xA5);
    lenMax.push_back(0x03);
    uint16_t crc = 0;
    for (size_t i = 1; i < lenMax.size(); ++i) UpdateCrc16(crc, lenMax[i]);
    lenMax.push_back(uint8_t(crc >> 8));
    lenMax.push_back(uint8_t(crc));
    Bytes lenMaxJob = Join({kStart, Hex(lenMax), kEnd});

    Bytes badEtx = WithCrc("02 01 00 00 00 10 AA 04");

    return {
        {"worked example", Join({kStart, kHeaderFrame, kS1Frame, kEnd}),
         {"start", "frame 1 @0 len 0 good ack", "frame 2 @0 len 16 good ack", "end"}, 0},
        {"S2 and S3 frames", Join({kStart, kS2Frame, kS3Frame, kEnd}),
         {"start", "frame 1 @10000 len 4 good ack", "frame 2 @10000 len 5 good ack", "end"}, 0},
        {"longest frame", lenMaxJob, {"start", "frame 1 @12345678 len 255 good ack", "end"}, 0},
        {"two jobs one after the other", Join({kStart, kS2Frame, kEnd, kStart, kS3Frame, kEnd}),
         {"start", "frame 1 @10000 len 4 good ack", "end", "start", "frame 2 @10000 len 5 good ack", "end"}, 0},
        {"start and end only", Join({kStart, kEnd}), {"start", "end"}, 0},
        // Error rows.
        {"nothing at all", {}, {}, 1},
        {"bad CRC", Join({kStart, kHeaderFrame, kS1FrameBadCrc, kEnd}),
         {"start", "frame 1 @0 len 0 good ack", "frame 2 @0 len 16 bad nak", "end"}, 1},
        {"wrong ETX with a CRC over it", Join({kStart, Hex(badEtx), kEnd}),
         {"start", "frame 1 @10 len 1 bad nak", "end"}, 1},
        {"a stray STX swallows no good frame", Join({kStart, "02 05", kS2Frame, kS3Frame, kEnd}),
         {"start", "frame 1 @2040001 len 5 bad nak", "frame 2 @10000 len 4 good ack", "frame 3 @10000 len 5 good ack",
          "end"}, 1},
        {"junk before the start", Join({"55 55 55", kStart, kS2Frame, kEnd}),
         {"junk 3", "start", "frame 1 @10000 len 4 good ack", "end"}, 1},
        {"junk between frames", Join({kStart, kS2Frame, "00 06 FF", kS3Frame, kEnd}),
         {"start", "frame 1 @10000 len 4 good ack", "junk 3", "frame 2 @10000 len 5 good ack", "end"}, 1},
        {"junk before the end", Join({kStart, kS2Frame, "41", kEnd}),
         {"start", "frame 1 @10000 len 4 good ack", "junk 1", "end"}, 1},
        {"junk after the end", Join({kStart, kEnd, "0A 0A"}), {"start", "end", "junk 2"}, 1},
        {"a sequence that goes wrong is junk", Join({kStart, "1B 1D 3F 32", kS2Frame, kEnd}),
         {"start", "junk 4", "frame 1 @10000 len 4 good ack", "end"}, 1},
        {"ESC before a start sequence", Join({"1B", kStart, kEnd}), {"junk 1", "start", "end"}, 1},
        {"a sequence cut by STX", Join({kStart, "1B 1D", kS2Frame, kEnd}),
         {"start", "junk 2", "frame 1 @10000 len 4 good ack", "end"}, 1},
        {"frame cut short at the end of the stream", Join({kStart, kHeaderFrame, "02 10 00 00 00 00 28 5F 24 5F"}),
         {"start", "frame 1 @0 len 0 good ack", "truncated 10"}, 1},
        {"lone STX at the end", Join({kStart, "02"}), {"start", "truncated 1"}, 1},
        {"end sequence cut short", Join({kStart, kS2Frame, "1B 1D 3F 31 30 0A"}),
         {"start", "frame 1 @10000 len 4 good ack", "junk 6"}, 1},
        {"no end sequence", Join({kStart, kS2Frame}), {"start", "frame 1 @10000 len 4 good ack"}, 1},
        {"no start sequence", Join({kS2Frame, kEnd}), {"frame 1 @10000 len 4 good ack", "end"}, 1},
        {"a job that never ended, then a whole one", Join({kStart, kS2Frame, kStart, kS3Frame, kEnd}),
         {"start", "frame 1 @10000 len 4 good ack", "start", "frame 2 @10000 len 5 good ack", "end"}, 1},
        {"end twice", Join({kStart, kEnd, kEnd}), {"start", "end", "end"}, 1},
    };
}

TEST(SimChecker, RecognisesEveryUnitOfTheStream)
{
    for (const StreamCase& row : StreamCases()) {
        SCOPED_TRACE(row.name);
        SimChecker checker;
        Recorder recorder = Check(row.stream, checker);
        EXPECT_EQ(recorder.described, row.events);
        EXPECT_EQ(SimVerdict(checker.totals), row.verdict);
    }
}

TEST(SimChecker, SameEventsWhereverTheStreamIsSplit)
{
    for (const StreamCase& row : StreamCases()) {
        SCOPED_TRACE(row.name);
        for (size_t cut = 0; cut <= row.stream.size(); ++cut) {
            SCOPED_TRACE("cut at " + std::to_string(cut));
            SimChecker checker;
            Recorder recorder = CheckInPieces(row.stream, {cut}, checker);
            ASSERT_EQ(recorder.described, row.events);
            ASSERT_EQ(SimVerdict(checker.totals), row.verdict);
        }
        std::vector<size_t> everyByte;
        for (size_t cut = 1; cut < row.stream.size(); ++cut) everyByte.push_back(cut);
        SimChecker checker;
        EXPECT_EQ(CheckInPieces(row.stream, everyByte, checker).described, row.events);
    }
}

TEST(SimChecker, CountsWhatItSaw)
{
    SimChecker checker;
    Check(Join({"55", kStart, kS1FrameBadCrc, "AA AA", kS2Frame, kEnd, "02 01"}), checker);
    const SimTotals& totals = checker.totals;
    EXPECT_EQ(totals.starts, 1ul);
    EXPECT_EQ(totals.ends, 1ul);
    EXPECT_EQ(totals.frames, 2ul);
    EXPECT_EQ(totals.badFrames, 1ul);
    EXPECT_EQ(totals.junkRuns, 2ul);
    EXPECT_EQ(totals.junkBytes, 3ull);
    EXPECT_EQ(totals.truncated, 1ul);
}

struct PolicyCase {
    const char* name;
    SimPolicy policy;
    std::vector<std::string> frames;  // each sent inside one job
    std::vector<SimAnswer> answers;
};

TEST(SimPolicy, DecidesEachFramesAnswer)
{
    const SimAnswer ack = SimAnswer::Ack;
    const SimAnswer nak = SimAnswer::Nak;
    const SimAnswer none = SimAnswer::None;
    const std::vector<std::string> three = {kHeaderFrame, kS2Frame, kS3Frame};
    const std::vector<PolicyCase> rows = {
        {"every frame acknowledged", {false, 0, 0, 0, 0, 0, 0}, three, {ack, ack, ack}},
        {"NAK for frame 2", {false, 2, 0, 0, 0, 0, 0}, three, {ack, nak, ack}},
        {"NAK for the empty first frame", {false, 1, 0, 0, 0, 0, 0}, three, {nak, ack, ack}},
        {"NAK for a frame never sent", {false, 9, 0, 0, 0, 0, 0}, three, {ack, ack, ack}},
        {"no answer for frame 3", {false, 0, 3, 0, 0, 0, 0}, three, {ack, ack, none}},
        {"no answer wins over NAK", {false, 2, 2, 0, 0, 0, 0}, three, {ack, none, ack}},
        {"NAK and no answer combined", {false, 1, 3, 0, 0, 0, 0}, three, {nak, ack, none}},
        {"silent", {true, 0, 0, 0, 0, 0, 0}, three, {none, none, none}},
        {"silent even with NAK asked for", {true, 2, 0, 0, 0, 0, 0}, three, {none, none, none}},
        {"silent even for a bad CRC", {true, 0, 0, 0, 0, 0, 0}, {kS1FrameBadCrc}, {none}},
        {"bad CRC refused", {false, 0, 0, 0, 0, 0, 0}, {kS2Frame, kS1FrameBadCrc}, {ack, nak}},
        {"bad CRC on the frame to be left unanswered", {false, 0, 1, 0, 0, 0, 0}, {kS1FrameBadCrc}, {none}},
    };
    for (const PolicyCase& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> parts = {kStart};
        parts.insert(parts.end(), row.frames.begin(), row.frames.end());
        parts.push_back(kEnd);
        SimChecker checker;
        Recorder recorder = Check(Join(parts), checker, row.policy);
        std::vector<SimAnswer> answers;
        for (const SimEvent& event : recorder.events) {
            if (event.kind == SimEventKind::Frame) answers.push_back(event.answer);
        }
        EXPECT_EQ(answers, row.answers);
    }
}

TEST(SimPolicy, AnswerBytesCarryTheJunkFirst)
{
    struct Row {
        const char* name;
        unsigned junk;
        SimAnswer answer;
        const char* bytes;
    };
    const Row rows[] = {
        {"ACK alone", 0, SimAnswer::Ack, "06"},
        {"NAK alone", 0, SimAnswer::Nak, "15"},
        {"three junk bytes, then ACK", 3, SimAnswer::Ack, "55 55 55 06"},
        {"one junk byte, then NAK", 1, SimAnswer::Nak, "55 15"},
        {"no answer sends no junk either", 3, SimAnswer::None, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SimPolicy policy = {false, 0, 0, row.junk, 0, 0, 0};
        uint8_t bytes[kSimMaxJunk + 1];
        size_t count = SimAnswerBytes(policy, row.answer, bytes);
        EXPECT_EQ(Bytes(bytes, bytes + count), FromHex(row.bytes));
    }
    SimPolicy most = {false, 0, 0, unsigned(kSimMaxJunk), 0, 0, 0};
    uint8_t bytes[kSimMaxJunk + 1];
    ASSERT_EQ(SimAnswerBytes(most, SimAnswer::Ack, bytes), kSimMaxJunk + 1);
    EXPECT_EQ(bytes[kSimMaxJunk], 0x06);
    EXPECT_EQ(bytes[0], kSimJunkByte);
}

// A byte arriving at a given time, in nanoseconds.
struct Arrival {
    uint64_t atNs;
    std::string hex;
};

std::vector<uint64_t> AnswerTimes(const SimPolicy& policy, const std::vector<Arrival>& arrivals)
{
    SimChecker checker;
    Recorder recorder;
    StartChecker(checker, policy);
    for (const Arrival& arrival : arrivals) {
        Bytes bytes = FromHex(arrival.hex);
        FeedChecker(checker, bytes.data(), bytes.size(), arrival.atNs, SinkFor(recorder));
    }
    std::vector<uint64_t> due;
    for (const SimEvent& event : recorder.events) {
        if (event.kind == SimEventKind::Frame) due.push_back(event.answerDueNs);
    }
    return due;
}

TEST(SimPolicy, AnswersFallDueAfterTheDelayAndTheTimeOnTheLine)
{
    const uint64_t ms = 1000000;
    // At 9600 baud a byte takes 10 bit times: 1041666 ns.
    const uint64_t byte9600 = 10ull * 1000000000ull / 9600;
    struct Row {
        const char* name;
        SimPolicy policy;
        std::vector<Arrival> arrivals;
        std::vector<uint64_t> due;
    };
    const std::vector<Row> rows = {
        {"at once", {false, 0, 0, 0, 0, 0, 0}, {{5 * ms, kHeaderFrame}}, {5 * ms}},
        {"delayed", {false, 0, 0, 0, 250, 0, 0}, {{5 * ms, kHeaderFrame}}, {255 * ms}},
        {"an adapter's latency timer holds it to its next tick", {false, 0, 0, 0, 0, 0, 16},
         {{5 * ms, kHeaderFrame}, {17 * ms, kHeaderFrame}}, {16 * ms, 32 * ms}},
        // On an emulated line the answer byte itself takes one byte time more.
        {"held for 9 bytes on the line, then the answer's byte", {false, 0, 0, 0, 0, 9600, 0}, {{0, kHeaderFrame}},
         {10 * byte9600}},
        {"line time then delay", {false, 0, 0, 0, 100, 9600, 0}, {{0, kHeaderFrame}}, {10 * byte9600 + 100 * ms}},
        {"junk before the answer travels too", {false, 0, 0, 3, 0, 9600, 0}, {{0, kHeaderFrame}}, {13 * byte9600}},
        {"a frame whose bytes trickle in ends on the line after its last byte",
         {false, 0, 0, 0, 0, 9600, 0},
         {{0, "02 00 00 00 00"}, {50 * ms, "00 03 01 40"}},
         {50 * ms + 5 * byte9600}},
        {"back-to-back frames queue on the line",
         {false, 0, 0, 0, 0, 9600, 0},
         {{0, std::string(kHeaderFrame) + kHeaderFrame}},
         {10 * byte9600, 19 * byte9600}},
        {"junk takes line time too", {false, 0, 0, 0, 0, 9600, 0}, {{0, std::string("55 55") + kHeaderFrame}},
         {12 * byte9600}},
        {"a start sequence takes line time", {false, 0, 0, 0, 0, 9600, 0}, {{0, std::string(kStart) + kHeaderFrame}},
         {17 * byte9600}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(AnswerTimes(row.policy, row.arrivals), row.due);
    }
}

struct OptionsCase {
    const char* name;
    std::vector<const char*> args;
    bool ok;
    const char* errorPart;  // for error rows: a piece of the message
};

bool Parse(std::vector<const char*> args, SimOptions& options, std::string& error)
{
    args.insert(args.begin(), "quorvane-sim");
    char text[256] = {};
    bool ok = ParseSimOptions(int(args.size()), const_cast<char**>(args.data()), options, text, sizeof text);
    error = text;
    return ok;
}

TEST(SimOptions, ReadsEveryOption)
{
    SimOptions options;
    std::string error;
    ASSERT_TRUE(Parse({"--link", "/tmp/com5", "--silent", "--nak", "3", "--junk", "2", "--no-answer", "4",
                       "--delay", "50", "--baud", "38400", "--transcript", "t.jsonl", "--raw", "r.bin", "--timing", "times.txt", "--once"},
                      options, error))
        << error;
    EXPECT_STREQ(options.link, "/tmp/com5");
    EXPECT_EQ(options.port, nullptr);
    EXPECT_TRUE(options.policy.silent);
    EXPECT_EQ(options.policy.nakFrame, 3ul);
    EXPECT_EQ(options.policy.junkCount, 2u);
    EXPECT_EQ(options.policy.noAnswerFrame, 4ul);
    EXPECT_EQ(options.policy.delayMs, 50ul);
    EXPECT_EQ(options.policy.baud, 38400ul);
    EXPECT_STREQ(options.transcript, "t.jsonl");
    EXPECT_STREQ(options.raw, "r.bin");
    EXPECT_STREQ(options.timing, "times.txt");
    EXPECT_TRUE(options.once);
    EXPECT_FALSE(options.help);

    ASSERT_TRUE(Parse({}, options, error));
    EXPECT_FALSE(options.policy.silent);
    EXPECT_EQ(options.policy.nakFrame, 0ul);
    EXPECT_EQ(options.policy.baud, 0ul);
    EXPECT_FALSE(options.once);
    EXPECT_EQ(options.timing, nullptr);

    ASSERT_TRUE(Parse({"--port", "/dev/pts/9", "--help"}, options, error));
    EXPECT_STREQ(options.port, "/dev/pts/9");
    EXPECT_TRUE(options.help);
}

TEST(SimOptions, RefusesWhatItCannotUse)
{
    const std::vector<OptionsCase> rows = {
        {"unknown option", {"--fast"}, false, "unknown option '--fast'"},
        {"a bare word", {"COM1"}, false, "unknown option 'COM1'"},
        {"missing value", {"--nak"}, false, "--nak needs a value"},
        {"frame 0 does not exist", {"--nak", "0"}, false, "--nak takes"},
        {"negative frame", {"--no-answer", "-1"}, false, "--no-answer takes"},
        {"trailing letters", {"--delay", "10ms"}, false, "--delay takes"},
        {"blank before the number", {"--delay", " 10"}, false, "--delay takes"},
        {"baud 0", {"--baud", "0"}, false, "--baud takes"},
        {"too much junk", {"--junk", "4097"}, false, "--junk takes"},
        {"too long a delay", {"--delay", "86400001"}, false, "--delay takes"},
        {"empty path", {"--raw", ""}, false, "--raw needs a non-empty path"},
        {"timing without a file", {"--timing"}, false, "--timing needs a value"},
        {"empty timing path", {"--timing", ""}, false, "--timing needs a non-empty path"},
        {"a link to a port it did not create", {"--port", "/dev/ttyS0", "--link", "x"}, false, "not with --port"},
        {"largest values", {"--junk", "4096", "--delay", "86400000", "--nak", "4294967295"}, true, ""},
    };
    for (const OptionsCase& row : rows) {
        SCOPED_TRACE(row.name);
        SimOptions options;
        std::string error;
        EXPECT_EQ(Parse(row.args, options, error), row.ok);
        EXPECT_NE(error.find(row.errorPart), std::string::npos) << error;
    }
}

}  // namespace
