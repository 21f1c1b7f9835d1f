// The recipe's rules, the serial patch and the state file's allocation
// rules, as table rows over the worked example (one S1 record of 16 bytes
// at 0x0000, on line 2).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

#include "production.h"
#include "recipe.h"

namespace {

const std::string kImage = "S00600004844521B\nS1130000285F245F2212226A000424290008237C2A\nS9030000FC\n";

struct Image {
    FirmwareSnapshot firmware;
    FirmwareCheck check;
    Image()
    {
        firmware = {const_cast<char*>(kImage.data()), kImage.size(), false, ""};
        Sha256Hex(kImage.data(), kImage.size(), firmware.fileSha256);
        CheckFirmware(firmware, check);
    }
};

// A good recipe to line 10, ending inside [serial]; a row adds the rest.
std::string RecipeText(const std::string& rest)
{
    char sha[65];
    Sha256Hex(kImage.data(), kImage.size(), sha);
    return "name = \"board\"\n[image]\nfile = \"fw.mot\"\nsha256 = \"" + std::string(sha) +
           "\"\n[station]\nlog = \"s.jsonl\"\n[serial]\nwidth = 4\nformat = \"be\"\nstate = \"s.state\"\n" + rest;
}

struct ParseRow {
    const char* rest;    // lines 11 on
    const char* reason;  // "" when the recipe is taken
};

const ParseRow kParseRows[] = {
    {"address = 4\nfirst = 10\nlast = 12\n", ""},
    {"address = 4\nfirst = 10\nlast = 12\nwidht = 4\n", "dir/r.toml: line 14: unknown key serial.widht"},
    {"address = 4\nfirst = \"10\"\nlast = 12\n", "line 12: serial.first must be an integer, not a string"},
    {"address = 4\nfirst = 12\nlast = 10\n", "line 13: serial.last is below serial.first"},
    {"address = 4\nfirst = 1\nlast = 4294967296\n", "line 13: serial.last (4294967296) does not fit in 4 bytes"},
    {"address = 4\nfirst = 1\n", "[serial] needs last"},
    {"address = 4\nfirst = 1\nlast = 2\n[line]\nmode = \"fast\"\n", "line 15: line.mode must be"},
    {"address = 4\nfirst = 1\nlast = 2\n[line]\nbaud = 1234\n", "line 15: line.baud must be 4800, 9600"},
    {"address = 4\nfirst = 1\nlast = 2\n[slots]\n", "line 14: unknown key slots"},
    {"address = = 4\n", "dir/r.toml: line 11: "},
    {"address = 4\nfirst = 1\nlast = 2\n[mqtt]\nurl = \"mqtts://h/p\"\nuser = \"u\"\npassword_file = \"pw\"\nca = \"/ca\"\n"
     "[http]\nlisten = \"8080\"\ntoken_file = \"t\"\n", ""},
    {"address = 4\nfirst = 1\nlast = 2\n[mqtt]\nurl = \"mqtt://h/p\"\nport = 1883\n", "line 16: unknown key mqtt.port"},
    {"address = 4\nfirst = 1\nlast = 2\n[http]\nlisten = 8080\n", "line 15: http.listen must be a string, not an integer"},
    {"address = 4\nfirst = 1\nlast = 2\n[mqtt]\nurl = \"http://h/p\"\n", "line 15: mqtt.url must be mqtt://"},
    {"address = 4\nfirst = 1\nlast = 2\n[station.next_board_line]\n\"/dev/ttyS0\" = \"RI\"\n",
     "line 15: station.next_board_line./dev/ttyS0 must be \"DSR\", \"CTS\" or \"DCD\""},
    {"address = 4\nfirst = 1\nlast = 2\n[station.next_board_line]\n\"/dev/ttyS0\" = \"DSR\"\n",
     "line 15: station.next_board_line./dev/ttyS0 is not one of station.slots"},
};

TEST(Recipe, ParseRows)
{
    for (const ParseRow& row : kParseRows) {
        std::string text = RecipeText(row.rest);
        Recipe recipe;
        Failure failure = {""};
        bool taken = ParseRecipe(text.data(), text.size(), "dir/r.toml", recipe, failure);
        EXPECT_EQ(taken, !row.reason[0]) << row.rest << failure.text;
        EXPECT_NE(std::string(failure.text).find(row.reason), std::string::npos) << failure.text;
        EXPECT_TRUE(!taken || recipe.serial.statePath == "dir/s.state");
        // The broker's and the page's files, from the recipe's folder too.
        EXPECT_TRUE(!taken || recipe.mqtt.url.empty() ||
                    recipe.mqtt.passwordFile + recipe.mqtt.caFile + recipe.http.tokenFile == "dir/pw/cadir/t");
    }
}

struct ImageRow {
    uint32_t address;
    unsigned width;
    bool otherDigest;
    const char* reason;
};

const ImageRow kImageRows[] = {
    {4, 4, false, ""},
    {0xE, 4, false, "serial.address 0x0000000E and its 4 bytes are not inside the image's data"},
    {0x10, 1, false, "not inside"},
    {4, 4, true, "has the SHA-256 "},
};

TEST(Recipe, ImageRows)
{
    Image image;
    for (const ImageRow& row : kImageRows) {
        std::string text = RecipeText("address = " + std::to_string(row.address) + "\nfirst = 1\nlast = 9\n");
        text.replace(text.find("width = 4"), 9, "width = " + std::to_string(row.width));
        if (row.otherDigest) text.replace(text.find("sha256 = \"") + 10, 4, "0000");
        Recipe recipe;
        Failure failure = {""};
        ASSERT_TRUE(ParseRecipe(text.data(), text.size(), "r.toml", recipe, failure)) << failure.text;
        EXPECT_EQ(CheckRecipeImage(recipe, image.firmware, image.check, failure), !row.reason[0]) << failure.text;
        EXPECT_NE(std::string(failure.text).find(row.reason), std::string::npos) << failure.text;
        // A digest refused names both: the file's and the recipe's.
        if (row.otherDigest) {
            EXPECT_NE(std::string(failure.text).find(image.firmware.fileSha256), std::string::npos);
            EXPECT_NE(std::string(failure.text).find(recipe.imageSha256), std::string::npos);
        }
    }
}

// ---- the per-board image ------------------------------------------------------------

std::string Frames(const char* bytes, size_t size)
{
    std::string sent;
    WriteJob job;
    RunWriteJobOverSink(job, bytes, size, [](void* context, const uint8_t* data, size_t count) {
        static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(data), count).push_back('|');
        return true;
    }, &sent);
    return sent;
}

struct PatchRow {
    SerialFormat format;
    unsigned width;
    unsigned long long number;
    const char* data;  // the record's 16 data bytes on the wire, in hex; "" when refused
};

const PatchRow kPatchRows[] = {
    {SerialFormat::BigEndian, 4, 0x01020304, "285F245F01020304000424290008237C"},
    {SerialFormat::LittleEndian, 4, 0x01020304, "285F245F04030201000424290008237C"},
    {SerialFormat::Decimal, 4, 42, "285F245F30303432000424290008237C"},
    {SerialFormat::Hex, 4, 0xABC, "285F245F30414243000424290008237C"},
    {SerialFormat::BigEndian, 12, 5, "285F245F000000000000000000000005"},
    {SerialFormat::Decimal, 2, 100, ""},
    {SerialFormat::LittleEndian, 1, 256, ""},
};

TEST(Serial, PatchRows)
{
    Image image;
    std::string before = Frames(kImage.data(), kImage.size());
    for (const PatchRow& row : kPatchRows) {
        SerialScheme scheme = {true, 4, row.width, row.format, 0, 0, ""};
        BoardImage board;
        Failure failure;
        bool patched = PatchSerial(image.firmware, scheme, row.number, board, failure);
        ASSERT_EQ(patched, row.data[0] != '\0') << row.number;
        if (!patched) continue;
        EXPECT_EQ(board.firstLine, 2u);
        // The board's frames are the snapshot's but the one record's data
        // and CRC, both from the encoder.
        std::string after = Frames(board.bytes.data(), board.bytes.size());
        uint8_t frame[kMaxFrameSize];
        std::string line = "S1130000" + std::string(row.data) + "FF\n";
        FrameResult encoded = EncodeLine(line.data(), line.size(), frame);
        std::string expected = before;
        size_t at = expected.find('|', expected.find('|') + 1) + 1;  // start, line 1, then line 2
        expected.replace(at, encoded.size, reinterpret_cast<const char*>(frame), encoded.size);
        EXPECT_EQ(after, expected) << row.data;
        // The record's checksum is made again: the strict check takes it.
        FirmwareCheck check;
        CheckFirmware(SnapshotOfBoard(board), check);
        EXPECT_EQ(check.problems, 0u);
    }
}

// ---- handing numbers out exactly once -------------------------------------------------

Recipe BlockRecipe(const std::string& folder)
{
    Recipe recipe;
    recipe.name = "board";
    recipe.serial = {true, 4, 4, SerialFormat::BigEndian, 10, 12, folder + "/s.state"};
    recipe.log = folder + "/s.jsonl";
    return recipe;
}

struct AllocationRow {
    const char* steps;   // h: hand out; rK, sK, wK: return, spend, write the K-th number handed out
    const char* handed;  // the numbers handed out, "-" where the block was used up
    const char* state;   // the state file's lines 4 to 7
};

const AllocationRow kAllocationRows[] = {
    {"hhh", "10 11 12", "next 13\nwritten 0\nout 10 11 12\nreturned\n"},
    {"hhhh", "10 11 12 -", "next 13\nwritten 0\nout 10 11 12\nreturned\n"},
    {"h r0 h", "10 10", "next 11\nwritten 0\nout 10\nreturned\n"},
    {"hh r1 r0 h", "10 11 10", "next 12\nwritten 0\nout 10\nreturned 11\n"},
    {"h s0 h", "10 11", "next 12\nwritten 0\nout 11\nreturned\n"},
    {"h w0 w0 s0 r0 h", "10 11", "next 12\nwritten 1\nout 11\nreturned\n"},
    {"hhh r1 s0 h h", "10 11 12 11 -", "next 13\nwritten 0\nout 12 11\nreturned\n"},
};

TEST(Serial, AllocationRows)
{
    Recipe recipe = BlockRecipe(".");
    for (const AllocationRow& row : kAllocationRows) {
        SerialState state = NewSerialState(recipe);
        std::vector<unsigned long long> handed;
        std::string said;
        for (const char* step = row.steps; *step; ++step) {
            unsigned long long number = 0;
            if (*step == 'h') {
                bool got = HandOutSerial(state, number);
                if (got) handed.push_back(number);
                said += (said.empty() ? "" : " ") + (got ? std::to_string(number) : "-");
            }
            if (*step == 'r' || *step == 's' || *step == 'w') {
                SerialOutcome outcome = *step == 'r' ? SerialOutcome::Returned
                                        : *step == 's' ? SerialOutcome::Spent : SerialOutcome::Written;
                SettleSerial(state, handed.at(size_t(step[1] - '0')), outcome);
                ++step;
            }
        }
        EXPECT_EQ(said, row.handed) << row.steps;
        std::string text = SerialStateText(state);
        EXPECT_EQ(text.substr(text.find("next")), row.state) << row.steps;
    }
}

// Only a job that never read the number's first line gives it back.
TEST(Serial, OutcomeOfJob)
{
    EXPECT_EQ(OutcomeOfJob(false, 1, 2), SerialOutcome::Returned);
    EXPECT_EQ(OutcomeOfJob(false, 2, 2), SerialOutcome::Spent);
    EXPECT_EQ(OutcomeOfJob(true, 3, 2), SerialOutcome::Written);
}

struct RestartRow {
    const char* state;   // the state file; null: none
    const char* log;     // the log; null: none
    const char* reason;  // "" when the station may start
    const char* unknown; // numbers a stopped station left out
};

const char kHeader[] = "quorvane serial state 1\nrecipe board\nblock 10 12\n";

const RestartRow kRestartRows[] = {
    {nullptr, nullptr, "", ""},
    {nullptr, "{\"recipe\":\"other\",\"board_serial\":10}\n", "", ""},
    {nullptr, "{\"recipe\":\"board\",\"board_serial\":null}\n", "", ""},
    {nullptr, "{\"recipe\":\"board\",\"board_serial\":10}\n", "is missing, but the log", ""},
    {"+next 12\nwritten 1\nout 10 11\nreturned\n", nullptr, "", "10 11 "},
    {"+next 12\nwritten 1\nout 10 13\nreturned\n", nullptr, "is corrupt at line 6", ""},
    {"+next 12\nwritten 1\n", nullptr, "is corrupt at line 6", ""},
    {"quorvane serial state 1\nrecipe other\nblock 10 12\nnext 10\nwritten 0\nout\nreturned\n", nullptr,
     "belongs to the recipe \"other\", not \"board\"", ""},
    {"quorvane serial state 1\nrecipe board\nblock 10 20\nnext 10\nwritten 0\nout\nreturned\n", nullptr,
     "is for the block 10..20, not 10..12", ""},
};

void WriteFile(const std::string& path, const char* text)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(file);
    std::fputs(text, file);
    std::fclose(file);
}

TEST(Serial, RestartRows)
{
    for (const RestartRow& row : kRestartRows) {
        char folder[] = "/tmp/recipe_test.XXXXXX";
        ASSERT_TRUE(mkdtemp(folder));
        Recipe recipe = BlockRecipe(folder);
        if (row.state) WriteFile(recipe.serial.statePath, (row.state[0] == '+' ? kHeader + std::string(row.state + 1)
                                                                                : std::string(row.state)).c_str());
        if (row.log) WriteFile(recipe.log, row.log);
        SerialState state;
        std::vector<unsigned long long> unknown;
        Failure failure = {""};
        EXPECT_EQ(OpenSerialState(recipe, state, unknown, failure), !row.reason[0]) << failure.text;
        EXPECT_NE(std::string(failure.text).find(row.reason), std::string::npos) << failure.text;
        std::string said;
        for (unsigned long long number : unknown) said += std::to_string(number) + " ";
        EXPECT_EQ(said, row.unknown);
        EXPECT_TRUE(state.out.empty() || row.reason[0]);
        // A first run leaves its state file behind.
        EXPECT_TRUE(row.reason[0] || access(recipe.serial.statePath.c_str(), F_OK) == 0);
        std::system(("rm -rf " + std::string(folder)).c_str());
    }
}

// A stop between a board's "written" record and the state file: at the
// next start that number counts as written (toward the quota), any other
// one left out is logged as unknown, and the state file says so.
TEST(Serial, AStopAfterTheRecordCountsTheBoardWritten)
{
    const struct {
        const char* out;
        std::vector<unsigned long long> unknown;
    } rows[] = {{"10 11", {11}}, {"10", {}}};
    const char* written = "{\"recipe\":\"board\",\"result\":\"written\",\"board_serial\":10,\"serial_state\":\"written\"}\n";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.out);
        char folder[] = "/tmp/recipe_test.XXXXXX";
        ASSERT_TRUE(mkdtemp(folder));
        Recipe recipe = BlockRecipe(folder);
        WriteFile(recipe.serial.statePath, (kHeader + std::string("next 12\nwritten 1\nout ") + row.out +
                                            "\nreturned\n").c_str());
        WriteFile(recipe.log, written);
        Image image;
        JobLog log;
        StationRecipe run = {&recipe, {}, {}};
        Failure failure = {""};
        ASSERT_TRUE(OpenRecipeLog(log, recipe.log.c_str(), recipe, "test", image.firmware, failure)) << failure.text;
        ASSERT_TRUE(StartRecipeRun(run, log, failure)) << failure.text;
        CloseJobLog(log);
        SerialState saved;
        std::vector<unsigned long long> unknown;
        ASSERT_TRUE(OpenSerialState(recipe, saved, unknown, failure)) << failure.text;
        EXPECT_EQ(saved.written, 2u);
        EXPECT_TRUE(unknown.empty());
        std::vector<LogSummary> summaries;
        FirmwareSnapshot text;
        ASSERT_TRUE(TakeSnapshot(recipe.log.c_str(), text, failure));
        SummarizeLog(text.bytes, text.size, summaries);
        ReleaseSnapshot(text);
        ASSERT_EQ(summaries.size(), 1u);
        EXPECT_EQ(summaries[0].serialsUnknown, row.unknown);
        EXPECT_EQ(summaries[0].serialsWritten, (std::vector<unsigned long long>{10}));
        std::system(("rm -rf " + std::string(folder)).c_str());
    }
}

// What `log summary` counts of a recipe's lines: each number once, under
// how its board ended.
TEST(Log, SummaryRows)
{
    const char* line = "{\"recipe\":\"r\",\"result\":\"%s\",\"board_serial\":%s,\"serial_state\":\"%s\"}\n";
    struct Row {
        const char* result;
        const char* serial;
        const char* state;
    } rows[] = {
        {"failed", "7", "spent"}, {"written", "7", "written"},   // a retry wrote the number its first try spent
        {"failed", "8", "spent"},                                // spent, no board has it
        {"failed", "9", "returned"}, {"written", "9", "written"},
        {"unknown", "10", "unknown"},
    };
    std::string log;
    for (const Row& row : rows) {
        char text[200];
        std::snprintf(text, sizeof text, line, row.result, row.serial, row.state);
        log += text;
    }
    std::vector<LogSummary> summaries;
    SummarizeLog(log.data(), log.size(), summaries);
    ASSERT_EQ(summaries.size(), 1u);
    const LogSummary& summary = summaries[0];
    EXPECT_EQ(summary.written, 2u);
    EXPECT_EQ(summary.failed, 3u);
    EXPECT_EQ(summary.serialsWritten, (std::vector<unsigned long long>{7, 9}));
    EXPECT_EQ(summary.serialsSpent, (std::vector<unsigned long long>{8}));
    EXPECT_EQ(summary.serialsUnknown, (std::vector<unsigned long long>{10}));
}

}  // namespace
