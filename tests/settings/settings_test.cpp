// The settings table over an in-memory settings file: each value read as
// scanf "%04x" reads it, validated, and written back as "%04x".
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "settings.h"

namespace {

// Every short text over an alphabet that reaches each branch of the
// conversion reads as the C library's own sscanf "%4x" reads it.
TEST(ScanSettingValue, AgreesWithTheCLibraryScanf)
{
    const char alphabet[] = {' ', '\t', '+', '-', '0', 'x', 'X', 'a', 'F', '9', 'g', '\xe0'};
    const size_t letters = sizeof alphabet;
    const uint32_t untouched = 0x5A5A;
    size_t disagreements = 0;
    for (size_t length = 0; length <= 5; ++length) {
        size_t combinations = 1;
        for (size_t i = 0; i < length; ++i) combinations *= letters;
        for (size_t n = 0; n < combinations; ++n) {
            char text[8] = {};
            for (size_t i = 0, rest = n; i < length; ++i, rest /= letters) text[i] = alphabet[rest % letters];
            unsigned expected = untouched;
            bool expectedConverted = std::sscanf(text, "%4x", &expected) == 1;
            uint32_t value = untouched;
            bool converted = ScanSettingValue(text, &value);
            if ((converted != expectedConverted || value != expected) && ++disagreements <= 10)
                ADD_FAILURE() << '"' << text << "\": sscanf " << expectedConverted << "/" << std::hex << expected
                              << ", ScanSettingValue " << converted << "/" << value;
        }
    }
}

// A settings file in memory that remembers how it was used.
struct MemoryFile {
    std::map<std::string, std::string> keys;
    std::vector<std::string> uses;  // "read KEY DEFAULT", "write KEY=TEXT"
};

void ReadMemory(void* context, const char* key, const char* defaultText, char* text, size_t size)
{
    MemoryFile& file = *static_cast<MemoryFile*>(context);
    file.uses.push_back(std::string("read ") + key + " " + defaultText);
    auto found = file.keys.find(key);
    std::snprintf(text, size, "%s", found == file.keys.end() ? defaultText : found->second.c_str());
}

bool WriteMemory(void* context, const char* key, const char* text, char*, size_t)
{
    MemoryFile& file = *static_cast<MemoryFile*>(context);
    file.uses.push_back(std::string("write ") + key + "=" + text);
    file.keys[key] = text;
    return true;
}

// Each run starts from 0 in both values, reads both keys with the default
// "0000", validates, and a save writes both keys back.
TEST(Settings, LoadValidateAndSave)
{
    const struct {
        const char* name;
        std::map<std::string, std::string> keys;
        uint32_t baud, port;
        const char *savedBaud, *savedPort;
    } rows[] = {
        {"no file", {}, 203, 0, "00cb", "0000"},
        {"19200 baud, LPT2", {{"PORT1", "00ca"}, {"PORT4", "8002"}}, 202, 0x8002, "00ca", "8002"},
        {"selector 201 resets the port too", {{"PORT1", "00c9"}, {"PORT4", "0001"}}, 203, 0, "00cb", "0000"},
        {"selector 206", {{"PORT1", "00ce"}, {"PORT4", "0005"}}, 203, 0, "00cb", "0000"},
        {"upper case, two digits", {{"PORT1", "CD"}, {"PORT4", "0003"}}, 205, 3, "00cd", "0003"},
        {"only four characters", {{"PORT1", "00cb"}, {"PORT4", "00031"}}, 203, 3, "00cb", "0003"},
        {"the prefix counts", {{"PORT1", "0xcb"}, {"PORT4", "0x8001"}}, 203, 0x80, "00cb", "0080"},
        {"the port is not checked", {{"PORT1", "00cc"}, {"PORT4", "ffff"}}, 204, 0xffff, "00cc", "ffff"},
        {"empty selector", {{"PORT1", ""}, {"PORT4", "0003"}}, 203, 0, "00cb", "0000"},
        {"missing port", {{"PORT1", "00cd"}}, 205, 0, "00cd", "0000"},
        {"negative port", {{"PORT1", "00cd"}, {"PORT4", "-1"}}, 205, 0xFFFFFFFF, "00cd", "ffffffff"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        thePortCode = 0;
        theBaudSelector = 0;
        MemoryFile file;
        file.keys = row.keys;
        SettingsStore store = {&file, ReadMemory, WriteMemory};
        LoadSettingsFrom(store);
        EXPECT_EQ(theBaudSelector, row.baud);
        EXPECT_EQ(thePortCode, row.port);
        char error[64];
        EXPECT_TRUE(SaveSettingsTo(store, error, sizeof error));
        EXPECT_EQ(file.uses, (std::vector<std::string>{"read PORT1 0000", "read PORT4 0000",
                                                       std::string("write PORT1=") + row.savedBaud,
                                                       std::string("write PORT4=") + row.savedPort}));
    }
}

}  // namespace
