// The frame encoder against the device's worked examples and the conversion
// rules of the S-record text it is given.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "frame.h"
#include "hex.h"

namespace {

using quorvane_test::Bytes;
using quorvane_test::FromHex;

// The textbook formulation of CRC-16/ARC, written independently of the
// encoder's bit-mask loop.
uint16_t ReferenceCrc16(const Bytes& bytes, size_t from, size_t to)
{
    uint16_t crc = 0;
    for (size_t i = from; i < to; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

// A frame as the device expects it, with the CRC worked out independently.
Bytes ExpectedFrame(const Bytes& addressAndData)
{
    Bytes frame;
    frame.push_back(0x02);
    frame.push_back(uint8_t(addressAndData.size() - 4));
    for (uint8_t byte : addressAndData) frame.push_back(byte);
    frame.push_back(0x03);
    uint16_t crc = ReferenceCrc16(frame, 1, frame.size());
    frame.push_back(uint8_t(crc >> 8));
    frame.push_back(uint8_t(crc));
    return frame;
}

// Encodes from an exactly sized heap copy, so a sanitizer catches any read
// past the line.
FrameResult Encode(const std::string& line, Bytes& frame)
{
    std::unique_ptr<char[]> copy(new char[line.size() ? line.size() : 1]);
    std::memcpy(copy.get(), line.data(), line.size());
    frame.assign(kMaxFrameSize, 0xEE);
    FrameResult result = EncodeLine(copy.get(), line.size(), frame.data());
    frame.resize(result.kind == FrameKind::Frame ? result.size : 0);
    return result;
}

TEST(Crc16, CheckValueOfTheDigitsOneToNine)
{
    uint16_t crc = 0;
    for (char c : std::string("123456789")) UpdateCrc16(crc, uint8_t(c));
    EXPECT_EQ(crc, 0xBB3D);
}

TEST(Crc16, AgreesWithTheTextbookFormOverEveryByteValue)
{
    Bytes all;
    for (int i = 0; i < 256; ++i) all.push_back(uint8_t(i));
    uint16_t crc = 0;
    for (uint8_t b : all) UpdateCrc16(crc, b);
    EXPECT_EQ(crc, ReferenceCrc16(all, 0, all.size()));
}

TEST(ControlSequences, AreTheDeviceCommands)
{
    EXPECT_EQ(Bytes(StartSequence, StartSequence + 7), FromHex("1B 1D 3F 30 31 0A 00"));
    EXPECT_EQ(Bytes(EndSequence, EndSequence + 7), FromHex("1B 1D 3F 31 30 0A 00"));
}

struct PairCase {
    char first, second;
    bool ok;
    int value;
};

TEST(ParseHexPair, ConvertsLikeTheScanfHexConversion)
{
    const PairCase cases[] = {
        {'0', '0', true, 0x00},   {'7', 'f', true, 0x7F},   {'F', 'F', true, 0xFF},
        {'a', 'B', true, 0xAB},   {'5', '\n', true, 0x05},  {'5', '\0', true, 0x05},
        {'5', 'g', true, 0x05},   {' ', '5', true, 0x05},   {'\t', 'c', true, 0x0C},
        {'\r', '9', true, 0x09},  {'\v', 'A', true, 0x0A},  {'\f', '1', true, 0x01},
        {'\n', 'e', true, 0x0E},  {'-', '1', true, 0xFF},   {'-', 'f', true, 0xF1},
        {'+', '5', true, 0x05},   {'-', '0', true, 0x00},   {'1', '\xC0', true, 0x01},
        // failures
        {'0', 'x', false, 0},     {'0', 'X', false, 0},     {'g', '1', false, 0},
        {'G', 'G', false, 0},     {' ', ' ', false, 0},     {' ', '\0', false, 0},
        {'\r', '\n', false, 0},   {'+', '\0', false, 0},    {'-', 'x', false, 0},
        {'-', ' ', false, 0},     {' ', '-', false, 0},     {' ', '+', false, 0},
        {'\0', '5', false, 0},    {'\xC0', '1', false, 0},  {' ', '\xA0', false, 0},
        {'x', '0', false, 0},
    };
    for (const PairCase& c : cases) {
        HexByte got = ParseHexPair(c.first, c.second);
        SCOPED_TRACE(testing::Message() << "pair 0x" << std::hex << int(uint8_t(c.first)) << " 0x"
                                        << int(uint8_t(c.second)));
        EXPECT_EQ(got.ok, c.ok);
        if (c.ok) {
            EXPECT_EQ(got.value, c.value);
        }
    }
}

// Every pair of byte values against the C library's own "%02x" conversion of
// the two characters. The one deliberate difference: "0x" and "0X" fail,
// where some C libraries take the prefix as a zero.
TEST(ParseHexPair, MatchesTheCLibraryConversionForEveryPair)
{
    int differences = 0;
    for (int first = 0; first < 256; ++first) {
        for (int second = 0; second < 256; ++second) {
            if (first == '0' && (second == 'x' || second == 'X')) continue;
            const char text[3] = {char(first), char(second), '\0'};
            unsigned value = 0;
            bool libraryOk = std::sscanf(text, "%02x", &value) == 1;
            HexByte ours = ParseHexPair(text[0], text[1]);
            if (ours.ok != libraryOk || (libraryOk && ours.value != uint8_t(value))) {
                ADD_FAILURE() << "pair 0x" << std::hex << first << " 0x" << second;
                if (++differences > 10) return;
            }
        }
    }
}

const char kWorkedS1[] = "S1130000285F245F2212226A000424290008237C2A";
const char kWorkedS1Frame[] = "02 10 00 00 00 00 28 5F 24 5F 22 12 22 6A 00 04 24 29 00 08 23 7C 03 16 BF";
const char kEmptyFrame[] = "02 00 00 00 00 00 03 01 40";

struct LineCase {
    const char* name;
    std::string line;
    FrameKind kind;
    Bytes frame;  // for FrameKind::Frame
};

TEST(EncodeLine, WorkedExamplesAndRecordTypes)
{
    const LineCase cases[] = {
        {"S0 header", "S00600004844521B\n", FrameKind::Frame, FromHex(kEmptyFrame)},
        {"S1 data", std::string(kWorkedS1) + "\n", FrameKind::Frame, FromHex(kWorkedS1Frame)},
        {"S2 data", "S2080100001122334477\n", FrameKind::Frame,
         FromHex("02 04 00 01 00 00 11 22 33 44 03 6C F5")},
        {"S3 data", "S30A000100000102030400EB\n", FrameKind::Frame,
         FromHex("02 05 00 01 00 00 01 02 03 04 00 03 C9 65")},
        {"S5 count", "S5030001FB\n", FrameKind::Frame, FromHex(kEmptyFrame)},
        {"S9 end", "S9030000FC\n", FrameKind::End, {}},
        {"S7 end", "S70500000000FA\n", FrameKind::End, {}},
        {"S8 end whatever follows", "S804zz\n", FrameKind::End, {}},
        {"S9 count then line end", "S90\n", FrameKind::End, {}},
        {"S3 full address", "S305A3A2A1A0CC\n", FrameKind::Frame, ExpectedFrame(FromHex("A3 A2 A1 A0"))},
        {"S2 address zero-extended", "S204123456CC\n", FrameKind::Frame, ExpectedFrame(FromHex("00 12 34 56"))},
        {"S1 count 3: empty data", "S1030000FC\n", FrameKind::Frame, ExpectedFrame(FromHex("00 00 00 00"))},
        {"S1 count 3 keeps address", "S103A1A0BB\n", FrameKind::Frame, ExpectedFrame(FromHex("00 00 A1 A0"))},
        {"S4 empty frame", "S4030000FC\n", FrameKind::Frame, FromHex(kEmptyFrame)},
        {"S6 empty frame", "S604000000FB\n", FrameKind::Frame, FromHex(kEmptyFrame)},
        {"SX empty frame", "SX03\n", FrameKind::Frame, FromHex(kEmptyFrame)},
        {"S blank empty frame", "S 03\n", FrameKind::Frame, FromHex(kEmptyFrame)},
        {"S0 reads nothing after the count", "S003", FrameKind::Frame, FromHex(kEmptyFrame)},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes frame;
        FrameResult result = Encode(c.line, frame);
        EXPECT_EQ(result.kind, c.kind);
        EXPECT_EQ(frame, c.frame);
    }
}

TEST(EncodeLine, LenientTextGivesTheSameFrame)
{
    const std::string variants[] = {
        std::string(kWorkedS1) + "\r\n",                              // CR LF line end
        "S1130000285F245F2212226A000424290008237C00\n",               // wrong record checksum
        "S1130000285f245f2212226a000424290008237c2a\n",               // lower-case digits
        "S1130000285F245F2212226A000424290008237C2A  trailing junk\n",  // after the checksum
        kWorkedS1,                                                    // no line end at all
    };
    for (const std::string& line : variants) {
        SCOPED_TRACE(line);
        Bytes frame;
        EXPECT_EQ(Encode(line, frame).kind, FrameKind::Frame);
        EXPECT_EQ(frame, FromHex(kWorkedS1Frame));
    }
}

TEST(EncodeLine, DataPairsCutByTheLineEnd)
{
    const LineCase cases[] = {
        {"digit then line end", "S10400005\n", FrameKind::Frame, ExpectedFrame(FromHex("00 00 00 00 05"))},
        {"blank then digit", "S1040000 5\n", FrameKind::Frame, ExpectedFrame(FromHex("00 00 00 00 05"))},
        {"count one too large takes the checksum as data", "S1050000ABCD\n", FrameKind::Frame,
         ExpectedFrame(FromHex("00 00 00 00 AB CD"))},
        {"count two too large runs into the line end", "S1060000ABCD\n", FrameKind::Reject, {}},
        {"digit cut by the end of the text", "S10400005", FrameKind::Frame, ExpectedFrame(FromHex("00 00 00 00 05"))},
        {"NUL ends the line within a pair", std::string("S10400005\0" "7\n", 12), FrameKind::Frame, ExpectedFrame(FromHex("00 00 00 00 05"))},
        {"NUL ends the line before a pair", std::string("S1050000AB\0CD\n", 14), FrameKind::Reject, {}},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes frame;
        FrameResult result = Encode(c.line, frame);
        EXPECT_EQ(result.kind, c.kind);
        EXPECT_EQ(frame, c.frame);
    }
}

TEST(EncodeLine, RejectedLines)
{
    const std::pair<const char*, std::string> cases[] = {
        {"empty", ""},
        {"line end only", "\n"},
        {"CR LF only", "\r\n"},
        {"lower-case s", "s1130000285F245F2212226A000424290008237C2A\n"},
        {"leading blank", " S1130000285F245F2212226A000424290008237C2A\n"},
        {"S alone", "S"},
        {"S and type only", "S1"},
        {"S9 count not hexadecimal", "S9ZZ0000FC\n"},
        {"S0 count not hexadecimal", "S0ZZ\n"},
        {"S1 count 2 wraps to 255 and runs out", "S1020000FD\n"},
        {"one-digit count then line end", "S15\n"},
        {"bad address digit", "S113G000285F245F2212226A000424290008237C2A\n"},
        {"bad data digit", "S1130000285F245F2212226A0004242900Q8237C2A\n"},
        {"0x in the data", "S10400000x\n"},
        {"data cut short", "S1130000285F\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        Bytes frame;
        EXPECT_EQ(Encode(c.second, frame).kind, FrameKind::Reject);
    }
}

TEST(EncodeLine, LongestRecordsFitTheFrameBuffer)
{
    // S3 with count FF: 250 data bytes, the longest well-formed record.
    std::string s3 = "S3FF00000000";
    Bytes expectedData = FromHex("00 00 00 00");
    for (int i = 0; i < 250; ++i) {
        s3 += "A5";
        expectedData.push_back(0xA5);
    }
    s3 += "00\r\n";
    Bytes frame;
    ASSERT_EQ(Encode(s3, frame).kind, FrameKind::Frame);
    EXPECT_EQ(frame, ExpectedFrame(expectedData));

    // S1 with count 2 wraps to LEN 255: the largest frame, when the text is there.
    std::string wrapped = "S1020000" + std::string(510, '1');
    ASSERT_EQ(Encode(wrapped, frame).kind, FrameKind::Frame);
    EXPECT_EQ(frame.size(), kMaxFrameSize);
    EXPECT_EQ(FrameDataLength(frame.data()), 255);
}

}  // namespace
