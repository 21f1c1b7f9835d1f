// The settings table, the "%04x" reading and writing of its values and the
// validation, over an in-memory settings file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "settings.h"

namespace {

constexpr uint32_t kUntouched = 0x5A5A;

struct ScanRow {
    const char* text;
    bool converted;
    uint32_t expected;  // kUntouched when nothing is converted
};

TEST(ScanSettingValue, ReadsAsScanfFourHexDigits)
{
    const ScanRow rows[] = {
        {"00cb", true, 203},
        {"CD", true, 205},            // upper case, two digits
        {"00031", true, 0x0003},      // only four characters are taken
        {"0xcb", true, 0xcb},         // the prefix counts within the four
        {"0X1F", true, 0x1f},
        {"0x1234", true, 0x12},
        {"ffff", true, 0xffff},
        {"8002", true, 0x8002},
        {"abcdef", true, 0xabcd},
        {" \t\v\f\r\n00ca", true, 0xca},  // leading white space is not counted
        {"cb\r\n", true, 0xcb},
        {"12\xe0", true, 0x12},
        {"7g", true, 7},
        {"+0cb", true, 0xcb},
        {"-1", true, 0xFFFFFFFF},             // a minus negates in 32 bits
        {"-0x5", true, 0xFFFFFFFB},
        {"0x", true, 0},              // the prefix's 0 is a digit
        {"0xg", true, 0},
        {"", false, kUntouched},
        {"   ", false, kUntouched},
        {"garbage", false, kUntouched},
        {"x12", false, kUntouched},
        {"+", false, kUntouched},
        {"- 5", false, kUntouched},
        {"\xe0" "12", false, kUntouched},
    };
    for (const ScanRow& row : rows) {
        uint32_t value = kUntouched;
        EXPECT_EQ(ScanSettingValue(row.text, &value), row.converted) << '"' << row.text << '"';
        EXPECT_EQ(value, row.expected) << '"' << row.text << '"';
    }
}

// Every short text over an alphabet that reaches each branch of the
// conversion reads as the C library's own sscanf "%4x" reads it.
TEST(ScanSettingValue, AgreesWithTheCLibraryScanf)
{
    const char alphabet[] = {' ', '\t', '+', '-', '0', 'x', 'X', 'a', 'F', '9', 'g', '\xe0'};
    const size_t letters = sizeof alphabet;
    size_t disagreements = 0;
    for (size_t length = 0; length <= 5; ++length) {
        size_t combinations = 1;
        for (size_t i = 0; i < length; ++i) combinations *= letters;
        for (size_t n = 0; n < combinations; ++n) {
            char text[8] = {};
            for (size_t i = 0, rest = n; i < length; ++i, rest /= letters) text[i] = alphabet[rest % letters];

            unsigned expected = unsigned(kUntouched);
            bool expectedConverted = std::sscanf(text, "%4x", &expected) == 1;
            uint32_t value = kUntouched;
            bool converted = ScanSettingValue(text, &value);
            if (converted != expectedConverted || uint32_t(value) != expected) {
                if (++disagreements <= 10) {
                    ADD_FAILURE() << '"' << text << "\": sscanf " << expectedConverted << "/" << std::hex
                                  << expected << ", ScanSettingValue " << converted << "/" << value;
                }
            }
        }
    }
    EXPECT_EQ(disagreements, 0u);
}

TEST(FormatSettingValue, WritesFourOrMoreLowerCaseDigits)
{
    const struct {
        uint32_t value;
        const char* text;
    } rows[] = {
        {203, "00cb"}, {3, "0003"}, {0, "0000"}, {0x8001, "8001"}, {0xffff, "ffff"},
        {0x12345, "12345"}, {0xFFFFFFFF, "ffffffff"},
    };
    for (const auto& row : rows) {
        char text[kSettingTextSize];
        FormatSettingValue(row.value, text);
        EXPECT_STREQ(text, row.text) << row.value;
    }
}

TEST(ValidateSettings, ResetsToNineThousandSixHundredAndNoPortOutsideTheBaudButtons)
{
    const struct {
        uint32_t baud, port, expectedBaud, expectedPort;
    } rows[] = {
        {202, 0x8002, 202, 0x8002},
        {203, 0, 203, 0},
        {205, 0xffff, 205, 0xffff},  // the port code itself is not checked
        {204, 0xFFFFFFFF, 204, 0xFFFFFFFF},
        {201, 1, 203, 0},
        {206, 5, 203, 0},
        {0, 0, 203, 0},
        {0xFFFFFFFF, 3, 203, 0},
        {0x10000 + 203, 3, 203, 0},
    };
    for (const auto& row : rows) {
        uint32_t baud = row.baud, port = row.port;
        ValidateSettings(&baud, &port);
        EXPECT_EQ(baud, row.expectedBaud) << row.baud << "/" << row.port;
        EXPECT_EQ(port, row.expectedPort) << row.baud << "/" << row.port;
    }
}

// A settings file in memory that remembers how it was used.
struct MemoryFile {
    std::map<std::string, std::string> keys;
    std::vector<std::string> reads;   // "KEY default"
    std::vector<std::string> writes;  // "KEY=TEXT"
};

void ReadMemory(void* context, const char* key, const char* defaultText, char* text, size_t size)
{
    MemoryFile& file = *static_cast<MemoryFile*>(context);
    file.reads.push_back(std::string(key) + " " + defaultText);
    auto found = file.keys.find(key);
    std::snprintf(text, size, "%s", found == file.keys.end() ? defaultText : found->second.c_str());
}

void WriteMemory(void* context, const char* key, const char* text)
{
    MemoryFile& file = *static_cast<MemoryFile*>(context);
    file.writes.push_back(std::string(key) + "=" + text);
    file.keys[key] = text;
}

SettingsStore StoreOf(MemoryFile& file) { return SettingsStore{&file, ReadMemory, WriteMemory}; }

// A run starts from 0 in both values.
void StartOfRun()
{
    thePortCode = 0;
    theBaudSelector = 0;
}

TEST(LoadSettings, ReadsBothKeysWithTheirDefaultThenValidates)
{
    const struct {
        const char* name;
        std::map<std::string, std::string> keys;
        uint32_t baud, port;
    } rows[] = {
        {"no file", {}, 203, 0},
        {"19200 baud, LPT2", {{"PORT1", "00ca"}, {"PORT4", "8002"}}, 202, 0x8002},
        {"selector 201", {{"PORT1", "00c9"}, {"PORT4", "0001"}}, 203, 0},
        {"upper case, two digits", {{"PORT1", "CD"}, {"PORT4", "0003"}}, 205, 3},
        {"five digits", {{"PORT1", "00cb"}, {"PORT4", "00031"}}, 203, 3},
        {"prefix", {{"PORT1", "0xcb"}, {"PORT4", "0x8001"}}, 203, 0x80},
        {"port not checked", {{"PORT1", "00cc"}, {"PORT4", "ffff"}}, 204, 0xffff},
        {"empty selector", {{"PORT1", ""}, {"PORT4", "0003"}}, 203, 0},
        {"empty port", {{"PORT1", "00cd"}, {"PORT4", ""}}, 205, 0},
        {"missing port", {{"PORT1", "00cd"}}, 205, 0},
        {"garbage", {{"PORT1", "garbage"}, {"PORT4", "0003"}}, 203, 0},
        {"garbage port", {{"PORT1", "00ca"}, {"PORT4", "COM3"}}, 202, 0xc},
    };
    for (const auto& row : rows) {
        StartOfRun();
        MemoryFile file;
        file.keys = row.keys;
        LoadSettingsFrom(StoreOf(file));
        EXPECT_EQ(theBaudSelector, row.baud) << row.name;
        EXPECT_EQ(thePortCode, row.port) << row.name;
        EXPECT_EQ(file.reads, (std::vector<std::string>{"PORT1 0000", "PORT4 0000"})) << row.name;
        EXPECT_TRUE(file.writes.empty()) << row.name;
    }
}

TEST(SaveSettings, WritesBothKeysEveryTime)
{
    StartOfRun();
    MemoryFile file;
    file.keys = {{"PORT1", "CD"}, {"PORT4", "00031"}};
    LoadSettingsFrom(StoreOf(file));
    SaveSettingsTo(StoreOf(file));
    SaveSettingsTo(StoreOf(file));
    EXPECT_EQ(file.writes, (std::vector<std::string>{"PORT1=00cd", "PORT4=0003", "PORT1=00cd", "PORT4=0003"}));
}

TEST(SaveSettings, WritesWhatIsInMemory)
{
    StartOfRun();
    MemoryFile file;
    LoadSettingsFrom(StoreOf(file));
    thePortCode = 0x8001;
    theBaudSelector = 205;
    SaveSettingsTo(StoreOf(file));
    EXPECT_EQ(file.writes, (std::vector<std::string>{"PORT1=00cd", "PORT4=8001"}));

    StartOfRun();
    file.writes.clear();
    LoadSettingsFrom(StoreOf(file));
    EXPECT_EQ(theBaudSelector, 205);
    EXPECT_EQ(thePortCode, 0x8001);
}

}  // namespace
