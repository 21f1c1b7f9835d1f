// Converted images must go out as the same frames as srec_cat's conversion
// of the same input, so every accepted input is converted by srec_cat too.
// (The SHA-256 digests are checked against sha256sum where the station
// shows them.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "image.h"

namespace {

// Bytes that differ from one address to the next.
std::string Bytes(uint32_t address, size_t size)
{
    std::string bytes;
    for (size_t i = 0; i < size; ++i) bytes += char((address + i) * 7 + ((address + i) >> 8));
    return bytes;
}

// One record, with its count and checksum.
std::string Hex(unsigned type, unsigned offset, const std::string& data)
{
    std::string line = ":";
    unsigned sum = 0;
    char pair[3];
    for (char c : std::string{char(data.size()), char(offset >> 8), char(offset), char(type)} + data) {
        std::snprintf(pair, sizeof pair, "%02X", uint8_t(c));
        sum += uint8_t(c);
        line += pair;
    }
    std::snprintf(pair, sizeof pair, "%02X", (0x100 - sum % 0x100) % 0x100);
    return line + pair + "\n";
}

// Data records of 16 bytes from `offset`.
std::string Data(unsigned offset, size_t size)
{
    std::string hex;
    for (size_t at = 0; at < size; at += 16)
        hex += Hex(0, unsigned(offset + at), Bytes(unsigned(offset + at), std::min<size_t>(16, size - at)));
    return hex;
}

const std::string kEnd = Hex(1, 0, "");

struct Conversion {
    const char* what;
    std::string input;
    bool binary;
    uint32_t base;           // of a binary image
    unsigned recordSize;
    bool hasStart;           // the input gives a start address
    const char* error;       // null: accepted, as srec_cat converts it
    size_t maxTextSize = 1 << 20;
};

// A scratch directory for srec_cat's input, when srec_cat is there.
bool MakeSrecCatDirectory(char* directory)
{
    return std::system("command -v srec_cat >/dev/null 2>&1") == 0 && mkdtemp(directory);
}

std::string RunSrecCat(const char* directory, const Conversion& row)
{
    std::string path = std::string(directory) + "/in";
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return "";
    std::fwrite(row.input.data(), 1, row.input.size(), file);
    std::fclose(file);
    char options[120];
    std::snprintf(options, sizeof options, "%s -offset 0x%X -o - -motorola -address-length=4 -obs=%u %s",
                  row.binary ? "-binary" : "-intel", row.base, row.recordSize,
                  row.hasStart ? "" : "-execution-start-address=0");
    std::string text;
    FILE* output = popen(("srec_cat " + path + " " + options + " 2>/dev/null").c_str(), "r");
    for (int c; (c = std::fgetc(output)) != EOF;) text += char(c);
    pclose(output);
    std::remove(path.c_str());
    return text;
}

TEST(Image, ConvertsAsSrecCatDoesAndRefusesWhatIsWrong)
{
    const std::string start = Hex(5, 0, "\x12\x34\x56\x78");
    const Conversion rows[] = {
        {"contiguous across srec_cat's 1792-byte blocks", Data(0x0005, 4000) + kEnd, false, 0, 32, false, nullptr},
        {"record size 16 from an odd address", Data(0x0123, 5000) + kEnd, false, 0, 16, false, nullptr},
        {"record size 250", Data(0x0010, 4000) + kEnd, false, 0, 250, false, nullptr},
        {"extended linear addresses: across 64 KiB, wrapping at 4 GiB", Hex(4, 0, {0, 1}) + Data(0xFFE0, 16) +
         Hex(0, 0xFFF0, Bytes(0, 32)) + Hex(4, 0, "\xFF\xFF") + Hex(0, 0xFFF8, Bytes(0, 16)) + start + kEnd,
         false, 0, 32, true, nullptr},
        {"extended segment address wraps in its segment, start segment address",
         Hex(2, 0, {0x10, 0}) + Hex(0, 0xFFF8, Bytes(0, 16)) + Hex(3, 0, "\x12\x34\x56\x78") + kEnd, false, 0, 32,
         true, nullptr},
        {"gaps, records out of order, an empty record",
         Data(0x200, 40) + Hex(0, 0x210, "") + Data(0x100, 20) + Data(0x228, 8) + Hex(4, 0, {0, 8}) + Data(0, 5) + kEnd,
         false, 0, 32, false, nullptr},
        {"binary at a base", Bytes(0, 5000), true, 0x12345, 32, false, nullptr},
        {"binary up to the end of the address space", Bytes(0, 3000), true, 0xFFFFF448, 250, false, nullptr},
        {"over 65535 records: an S6 count", Bytes(0, 70000), true, 0x100, 1, false, nullptr, 2 << 20},
        {"bad checksum", Data(0, 2) + ":03000000010203F8\n" + kEnd, false, 0, 32, false,
         "line 2: checksum is F8, should be F7"},
        {"missing end", Data(0, 16), false, 0, 32, false,
         "no end record (type 01) by the end of the file (line 1): it may be cut short"},
        {"bad character", ":10000000G0\n", false, 0, 32, false, "line 1: character 10 is not a hexadecimal digit"},
        {"same data twice", Data(0x100, 32) + Data(0x110, 4) + kEnd, false, 0, 32, false,
         "line 3: data at 0x00000110 overlaps data of lines 1-2"},
        {"a record after the end", kEnd + Data(0, 1), false, 0, 32, false,
         "line 2: a record after the end record of line 1"},
        {"binary past 4 GiB", Bytes(0, 32), true, 0xFFFFFFF0, 32, false,
         "32 bytes loaded at 0xFFFFFFF0 run past the end of the 32-bit address space"},
        {"text over the limit", Data(0, 100) + kEnd, false, 0, 32, false,
         "the S-record text would take more than the 200 bytes allowed", 200},
    };
    char directory[] = "/tmp/image_test_XXXXXX";
    bool haveSrecCat = MakeSrecCatDirectory(directory);
    for (const Conversion& row : rows) {
        SCOPED_TRACE(row.what);
        auto convert = [&](size_t maxTextSize, std::string& text, Failure& failure) {
            ConversionOptions options;
            options.recordSize = row.recordSize;
            options.maxTextSize = maxTextSize;
            options.base = row.base;
            return row.binary ? ConvertBinary(row.input.data(), row.input.size(), options, text, failure)
                              : ConvertIntelHex(row.input.data(), row.input.size(), options, text, failure);
        };
        std::string text;
        Failure error = {""};
        bool converted = convert(row.maxTextSize, text, error);
        EXPECT_EQ(converted, !row.error);
        EXPECT_STREQ(error.text, row.error ? row.error : "");
        if (row.error || !converted) continue;
        // The limit is exact: the text fits in its own size and not in one byte less.
        std::string again;
        EXPECT_TRUE(convert(text.size(), again, error));
        EXPECT_FALSE(convert(text.size() - 1, again, error));
        if (!haveSrecCat) continue;
        // All but the S0 header, whose text goes out as an empty frame either way.
        std::string ours = text.substr(text.find('\n') + 1), reference = RunSrecCat(directory, row);
        reference.erase(0, reference.find('\n') + 1);
        // Only where they part: a diff of a whole large text would take too long.
        auto parted = std::mismatch(ours.begin(), ours.end(), reference.begin(), reference.end()).first;
        size_t same = size_t(parted - ours.begin());
        EXPECT_EQ(ours.substr(same, 80), reference.substr(std::min(same, reference.size()), 80)) << "at " << same;
    }
    if (haveSrecCat) std::remove(directory);
    // scripts/install-deps installs it: without it nothing here was compared.
    if (!haveSrecCat) ADD_FAILURE() << "srec_cat is not on PATH: conversions not compared with it";
}

TEST(Image, TellsFormatsApart)
{
    const std::pair<std::string, ImageFormat> rows[] = {
        {"\n  \r\nS00600004844521B\n", ImageFormat::SRecord}, {"\r\n:020000040001F9", ImageFormat::IntelHex},
        {"\x7F" "ELF\x02\x01", ImageFormat::Elf}, {" S1", ImageFormat::Unknown}, {":;", ImageFormat::Unknown},
        {"\n", ImageFormat::Unknown}};
    for (const auto& row : rows)
        EXPECT_EQ(DetectImageFormat(row.first.data(), row.first.size()).kind, row.second) << row.first;
}

}  // namespace
