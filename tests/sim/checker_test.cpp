// The simulated device's checker over hand-made streams: one table of
// streams and policies with the events, answers and verdict each gives,
// wherever the stream is cut; when answers fall due; and its options.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "hex.h"
#include "sim.h"

namespace {

using quorvane_test::Bytes;
using quorvane_test::FromHex;

const char kStart[] = "1B 1D 3F 30 31 0A 00 ";
const char kEnd[] = "1B 1D 3F 31 30 0A 00 ";
// Frames of the worked examples (S0 header, S1, S2 and S3 records).
const char kHeaderFrame[] = "02 00 00 00 00 00 03 01 40 ";
const char kS1Frame[] = "02 10 00 00 00 00 28 5F 24 5F 22 12 22 6A 00 04 24 29 00 08 23 7C 03 16 BF ";
const char kS2Frame[] = "02 04 00 01 00 00 11 22 33 44 03 6C F5 ";
const char kS3Frame[] = "02 05 00 01 00 00 01 02 03 04 00 03 C9 65 ";
const char kS1FrameBadCrc[] = "02 10 00 00 00 00 28 5F 24 5F 22 12 22 6A 00 04 24 29 00 08 23 7C 03 16 BE ";
// A wrong ETX under a right CRC, as a sender that built it so would send it.
const char kBadEtxFrame[] = "02 01 00 00 00 10 AA 04 66 6E ";

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
    std::vector<std::string> events;
    std::vector<uint64_t> due;  // of each frame's answer
};

void Record(void* context, const SimEvent& event)
{
    Recorder& recorder = *static_cast<Recorder*>(context);
    recorder.events.push_back(Describe(event));
    if (event.kind == SimEventKind::Frame) recorder.due.push_back(event.answerDueNs);
}

const SimPolicy kAnswerEveryFrame = {false, 0, 0, 0, 0, 0, 0};

// Feeds `stream` in pieces `cut` bytes long (0: whole), all at time 0.
Recorder Check(const Bytes& stream, SimChecker& checker, const SimPolicy& policy, size_t cut = 0)
{
    Recorder recorder;
    StartChecker(checker, policy);
    for (size_t from = 0; from < stream.size(); from += cut ? cut : stream.size()) {
        size_t count = cut && stream.size() - from > cut ? cut : stream.size() - from;
        FeedChecker(checker, stream.data() + from, count, 0, {&recorder, Record});
    }
    FinishChecker(checker, {&recorder, Record});
    return recorder;
}

struct StreamCase {
    const char* name;
    std::string hex;
    std::vector<std::string> events;
    int verdict;
    SimPolicy policy = kAnswerEveryFrame;
};

const std::string kLongest = [] {
    std::string frame = "02 FF 12 34 56 78 ";
    for (int i = 0; i < 255; ++i) frame += "A5 ";
    Bytes bytes = FromHex(frame + "03");
    uint16_t crc = 0;
    for (size_t i = 1; i < bytes.size(); ++i) UpdateCrc16(crc, bytes[i]);
    char tail[16];
    std::snprintf(tail, sizeof tail, "03 %02X %02X ", crc >> 8, crc & 0xFF);
    return frame + tail;
}();

std::vector<StreamCase> StreamCases()
{
    const std::string job3 = std::string(kStart) + kHeaderFrame + kS2Frame + kS3Frame + kEnd;
    return {
        {"worked example", std::string(kStart) + kHeaderFrame + kS1Frame + kEnd,
         {"start", "frame 1 @0 len 0 good ack", "frame 2 @0 len 16 good ack", "end"}, 0},
        {"longest frame", kStart + kLongest + kEnd, {"start", "frame 1 @12345678 len 255 good ack", "end"}, 0},
        {"two jobs one after the other", std::string(kStart) + kS2Frame + kEnd + kStart + kS3Frame + kEnd,
         {"start", "frame 1 @10000 len 4 good ack", "end", "start", "frame 2 @10000 len 5 good ack", "end"}, 0},
        {"NAK for frame 2, none for frame 3", job3,
         {"start", "frame 1 @0 len 0 good ack", "frame 2 @10000 len 4 good nak", "frame 3 @10000 len 5 good none", "end"},
         0, {false, 2, 3, 0, 0, 0, 0}},
        {"no answer wins over NAK", job3,
         {"start", "frame 1 @0 len 0 good none", "frame 2 @10000 len 4 good ack", "frame 3 @10000 len 5 good ack", "end"},
         0, {false, 1, 1, 0, 0, 0, 0}},
        {"silent even when NAK is asked for", job3,
         {"start", "frame 1 @0 len 0 good none", "frame 2 @10000 len 4 good none", "frame 3 @10000 len 5 good none",
          "end"}, 0, {true, 2, 0, 0, 0, 0, 0}},
        // Error rows.
        {"nothing at all", "", {}, 1},
        {"bad CRC refused", std::string(kStart) + kHeaderFrame + kS1FrameBadCrc + kEnd,
         {"start", "frame 1 @0 len 0 good ack", "frame 2 @0 len 16 bad nak", "end"}, 1},
        {"wrong ETX with a CRC over it", std::string(kStart) + kBadEtxFrame + kEnd,
         {"start", "frame 1 @10 len 1 bad nak", "end"}, 1},
        {"a stray STX swallows no good frame", std::string(kStart) + "02 05 " + kS2Frame + kS3Frame + kEnd,
         {"start", "frame 1 @2040001 len 5 bad nak", "frame 2 @10000 len 4 good ack", "frame 3 @10000 len 5 good ack",
          "end"}, 1},
        {"junk before the start and between frames", std::string("55 55 55 ") + kStart + kS2Frame + "00 06 FF " + kEnd,
         {"junk 3", "start", "frame 1 @10000 len 4 good ack", "junk 3", "end"}, 1},
        {"junk after the end", std::string(kStart) + kEnd + "0A 0A", {"start", "end", "junk 2"}, 1},
        {"a sequence that goes wrong is junk", std::string(kStart) + "1B 1D 3F 32 " + kS2Frame + kEnd,
         {"start", "junk 4", "frame 1 @10000 len 4 good ack", "end"}, 1},
        {"a sequence cut by STX", std::string(kStart) + "1B 1D " + kS2Frame + kEnd,
         {"start", "junk 2", "frame 1 @10000 len 4 good ack", "end"}, 1},
        {"ESC before a start sequence", std::string("1B ") + kStart + kEnd, {"junk 1", "start", "end"}, 1},
        {"frame cut short at the end of the stream", std::string(kStart) + "02 10 00 00 00 00 28 5F 24 5F",
         {"start", "truncated 10"}, 1},
        {"end sequence cut short", std::string(kStart) + kS2Frame + "1B 1D 3F 31 30 0A",
         {"start", "frame 1 @10000 len 4 good ack", "junk 6"}, 1},
        {"no end sequence", std::string(kStart) + kS2Frame, {"start", "frame 1 @10000 len 4 good ack"}, 1},
        {"no start sequence", std::string(kS2Frame) + kEnd, {"frame 1 @10000 len 4 good ack", "end"}, 1},
        {"a job that never ended, then a whole one", std::string(kStart) + kS2Frame + kStart + kS3Frame + kEnd,
         {"start", "frame 1 @10000 len 4 good ack", "start", "frame 2 @10000 len 5 good ack", "end"}, 1},
        {"end twice", std::string(kStart) + kEnd + kEnd, {"start", "end", "end"}, 1},
    };
}

TEST(SimChecker, SameEventsAndVerdictWhereverTheStreamIsCut)
{
    for (const StreamCase& row : StreamCases()) {
        SCOPED_TRACE(row.name);
        Bytes stream = FromHex(row.hex);
        for (size_t cut : {size_t(0), size_t(1), size_t(2), size_t(5), size_t(13)}) {
            SCOPED_TRACE(cut);
            SimChecker checker;
            ASSERT_EQ(Check(stream, checker, row.policy, cut).events, row.events);
            ASSERT_EQ(SimVerdict(checker.totals), row.verdict);
            auto junk = [](const std::string& event) { return event.compare(0, 4, "junk") == 0; };
            auto bad = [](const std::string& event) { return event.find(" bad ") != std::string::npos; };
            EXPECT_EQ(checker.totals.junkRuns, size_t(std::count_if(row.events.begin(), row.events.end(), junk)));
            EXPECT_EQ(checker.totals.badFrames, size_t(std::count_if(row.events.begin(), row.events.end(), bad)));
        }
    }
}

TEST(SimPolicy, AnswersFallDueAfterTheLineTheDelayAndTheAdaptersTimer)
{
    const uint64_t ms = 1000000, byte9600 = 10ull * 1000000000ull / 9600;
    const struct {
        const char* name;
        SimPolicy policy;
        std::vector<std::pair<uint64_t, std::string>> arrivals;  // at ns, bytes
        std::vector<uint64_t> due;
    } rows[] = {
        {"at once", kAnswerEveryFrame, {{5 * ms, kHeaderFrame}}, {5 * ms}},
        {"delayed", {false, 0, 0, 0, 250, 0, 0}, {{5 * ms, kHeaderFrame}}, {255 * ms}},
        {"an adapter's latency timer holds it to its next tick", {false, 0, 0, 0, 0, 0, 16},
         {{5 * ms, kHeaderFrame}, {17 * ms, kHeaderFrame}}, {16 * ms, 32 * ms}},
        {"but not an answer that is its event character", {false, 0, 0, 0, 0, 0, 16, 0x106},
         {{5 * ms, kHeaderFrame}}, {5 * ms}},
        {"a NAK is not ACK's event character", {false, 2, 0, 0, 0, 0, 16, 0x106},
         {{5 * ms, kHeaderFrame}, {17 * ms, kHeaderFrame}}, {5 * ms, 32 * ms}},
        // On an emulated line the answer's own byte takes a byte time too.
        {"9 bytes on the line, then the answer's", {false, 0, 0, 0, 0, 9600, 0}, {{0, kHeaderFrame}}, {10 * byte9600}},
        {"line time, then the delay", {false, 0, 0, 0, 100, 9600, 0}, {{0, kHeaderFrame}}, {10 * byte9600 + 100 * ms}},
        {"junk before the answer travels too", {false, 0, 0, 3, 0, 9600, 0}, {{0, kHeaderFrame}}, {13 * byte9600}},
        {"a frame that trickles in ends on the line after its last byte", {false, 0, 0, 0, 0, 9600, 0},
         {{0, "02 00 00 00 00"}, {50 * ms, "00 03 01 40"}}, {50 * ms + 5 * byte9600}},
        {"back-to-back frames and a start sequence queue on the line", {false, 0, 0, 0, 0, 9600, 0},
         {{0, std::string(kStart) + kHeaderFrame + kHeaderFrame}}, {17 * byte9600, 26 * byte9600}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SimChecker checker;
        Recorder recorder;
        StartChecker(checker, row.policy);
        for (const auto& arrival : row.arrivals) {
            Bytes bytes = FromHex(arrival.second);
            FeedChecker(checker, bytes.data(), bytes.size(), arrival.first, {&recorder, Record});
        }
        EXPECT_EQ(recorder.due, row.due);
    }
}

TEST(SimPolicy, AnswerBytesCarryTheJunkFirst)
{
    uint8_t bytes[kSimMaxJunk + 1];
    SimPolicy junk = {false, 0, 0, 3, 0, 0, 0};
    EXPECT_EQ(Bytes(bytes, bytes + SimAnswerBytes(junk, SimAnswer::Nak, bytes)), FromHex("55 55 55 15"));
    EXPECT_EQ(SimAnswerBytes(junk, SimAnswer::None, bytes), 0u);
    SimPolicy most = {false, 0, 0, unsigned(kSimMaxJunk), 0, 0, 0};
    ASSERT_EQ(SimAnswerBytes(most, SimAnswer::Ack, bytes), kSimMaxJunk + 1);
    EXPECT_EQ(bytes[kSimMaxJunk], 0x06);
}

bool Parse(std::vector<const char*> args, SimOptions& options, std::string& error)
{
    args.insert(args.begin(), "quorvane-sim");
    char text[256] = {};
    bool ok = ParseSimOptions(int(args.size()), const_cast<char**>(args.data()), options, text, sizeof text);
    error = text;
    return ok;
}

TEST(SimOptions, ReadsEveryOptionAndRefusesWhatItCannotUse)
{
    SimOptions options;
    std::string error;
    ASSERT_TRUE(Parse({"--link", "/tmp/com5", "--silent", "--nak", "3", "--junk", "2", "--no-answer", "4", "--delay",
                       "50", "--baud", "38400", "--latency", "16", "--event-char", "0x06", "--replug", "500",
                       "--transcript", "t.jsonl", "--raw", "r.bin", "--timing", "times.txt", "--once"},
                      options, error))
        << error;
    const SimPolicy& policy = options.policy;
    EXPECT_TRUE(policy.silent && options.once && !options.help);
    EXPECT_EQ(std::vector<unsigned long>({policy.nakFrame, policy.junkCount, policy.noAnswerFrame, policy.delayMs,
                                          policy.baud, policy.latencyMs, policy.eventChar, options.replugMs}),
              std::vector<unsigned long>({3, 2, 4, 50, 38400, 16, 0x106, 500}));
    EXPECT_EQ(std::string(options.link) + options.transcript + options.raw + options.timing,
              "/tmp/com5t.jsonlr.bintimes.txt");
    const struct {
        std::vector<const char*> args;
        const char* errorPart;
    } refused[] = {
        {{"COM1"}, "unknown option 'COM1'"},
        {{"--nak", "0"}, "--nak takes a whole number from 1"},
        {{"--delay", "10ms"}, "--delay takes"},
        {{"--delay", " 10"}, "--delay takes"},
        {{"--junk", "4097"}, "--junk takes"},
        {{"--raw", ""}, "--raw needs a non-empty path"},
        {{"--port", "/dev/ttyS0", "--link", "x"}, "not with --port"},
        {{"--replug", "100"}, "give --link PATH"},
    };
    for (const auto& row : refused) {
        EXPECT_FALSE(Parse(row.args, options, error));
        EXPECT_NE(error.find(row.errorPart), std::string::npos) << error;
    }
}

}  // namespace
