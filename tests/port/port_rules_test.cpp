// The port rules: names, baud rates, the device-map lookup and the line
// settings, as tables.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "port_rules.h"
#include "scripted_map.h"

namespace {

using quorvane_test::FailingCall;
using quorvane_test::MapEntry;
using quorvane_test::NextScriptedValue;
using quorvane_test::ScriptedMap;

struct NamingRow {
    PortCode code;
    const char* name;
    const char* path;
    int ackMode;
};

TEST(PortNaming, CodeGivesNamePathAndKind)
{
    const NamingRow rows[] = {
        {0x0003, "COM3", "\\\\.\\COM3", 1},
        {0x0001, "COM1", "\\\\.\\COM1", 1},
        {0x000A, "COM10", "\\\\.\\COM10", 1},  // no leading zeros
        {0x0FFF, "COM4095", "\\\\.\\COM4095", 1},
        {0x8001, "LPT1", "\\\\.\\LPT1", 0},
        {0x8003, "LPT3", "\\\\.\\LPT3", 0},
        // No port chosen: nothing special, it just names COM0.
        {0x0000, "COM0", "\\\\.\\COM0", 1},
        {0x8000, "LPT0", "\\\\.\\LPT0", 0},
        // Bits 12 to 14 (a hand-edited settings file) stay in the number.
        {0x1003, "COM4099", "\\\\.\\COM4099", 1},
        {0x7FFF, "COM32767", "\\\\.\\COM32767", 1},
        {0xFFFF, "LPT32767", "\\\\.\\LPT32767", 0},
        // Bits above 15 are not part of the code's meaning.
        {0x10003, "COM3", "\\\\.\\COM3", 1},
        {0xFFFF8002, "LPT2", "\\\\.\\LPT2", 0},
    };
    for (const NamingRow& row : rows) {
        SCOPED_TRACE(row.code);
        char name[kPortNameSize];
        char path[kDevicePathSize];
        FormatPortName(row.code, name);
        FormatDevicePath(row.code, path);
        EXPECT_STREQ(row.name, name);
        EXPECT_STREQ(row.path, path);
        EXPECT_EQ(row.ackMode == 0, IsParallelPort(row.code));
    }
}

TEST(BaudRate, SelectorGivesRateAndUnknownOnesGive9600)
{
    const struct {
        BaudSelector selector;
        unsigned long rate;
    } rows[] = {
        {202, 19200}, {203, 9600}, {204, 4800}, {205, 38400},
        {201, 9600},  {206, 9600}, {0, 9600},   {0xFFFFFFFF, 9600},   {0x7FFFFFFF, 9600},
    };
    for (const auto& row : rows) EXPECT_EQ(row.rate, BaudRateOf(row.selector)) << row.selector;
}

TEST(DeviceUsbPrefix, MatchesTheFirst25CharactersInAnyLetterCase)
{
    const struct {
        const char* name;
        bool matches;
    } rows[] = {
        {"\\??\\USB#Vid_0d5c&Pid_0002", true},
        {"\\??\\USB#Vid_0d5c&Pid_0002#6&2c4fe9a1&0&2#{86e0d1e0}", true},
        {"\\??\\usb#vid_0d5c&pid_0002#x", true},
        {"\\??\\USB#VID_0D5C&PID_0002", true},
        {"\\??\\USB#Vid_0d5c&Pid_000", false},  // 24 characters
        {"\\??\\USB#Vid_0d5c&Pid_0003", false},
        {"\\??\\USB#Vid_0d5d&Pid_0002", false},
        {"\\\\?\\USB#Vid_0d5c&Pid_0002", false},
        {" \\??\\USB#Vid_0d5c&Pid_0002", false},
        {"\\Device\\Serial0", false},
        {"", false},
    };
    for (const auto& row : rows) EXPECT_EQ(row.matches, HasDeviceUsbPrefix(row.name)) << row.name;
}


const char kUsbName[] = "\\??\\usb#VID_0D5C&PID_0002#7&1a2b3c4d&0&0000";
const std::string kCom3("COM3\0", 5);
constexpr unsigned long kRegExpandSz = 2;
constexpr unsigned long kRegBinary = 3;

MapEntry Value(const std::string& name, const std::string& data, unsigned long type = kRegistryString)
{
    return {name, type, data, false};
}

TEST(DeviceMapLookup, FirstStringValueNamingThePortDecides)
{
    using M = PortKind;
    const struct {
        const char* what;
        std::vector<MapEntry> entries;
        M match;
        unsigned long calls;  // enumeration calls made, the failing one included
    } rows[] = {
        {"empty map", {}, M::Serial, 1},
        {"plain serial port", {Value("\\Device\\Serial0", "COM1", kRegistryString), Value("\\Device\\Serial2", kCom3)}, M::Serial, 2},
        {"device USB port", {Value("\\Device\\Serial0", "COM1"), Value(kUsbName, kCom3)}, M::DeviceUsb, 2},
        {"data compared case-sensitively", {Value(kUsbName, std::string("com3\0", 5))}, M::Serial, 2},
        {"data must be the whole name", {Value(kUsbName, std::string("COM30\0", 6)), Value(kUsbName, std::string("COM\0", 4))}, M::Serial, 3},
        {"data without its NUL still matches", {Value(kUsbName, "COM3")}, M::DeviceUsb, 1},
        {"data ends at its NUL", {Value(kUsbName, std::string("COM3\0x", 6))}, M::DeviceUsb, 1},
        {"a later duplicate is ignored", {Value("\\Device\\Serial2", kCom3), Value(kUsbName, kCom3)}, M::Serial, 1},
        {"the first of duplicates decides", {Value(kUsbName, kCom3), Value("\\Device\\Serial2", kCom3)}, M::DeviceUsb, 1},
        {"non-string values are skipped", {Value(kUsbName, kCom3, kRegExpandSz), Value(kUsbName, kCom3, kRegBinary), Value("\\Device\\Serial2", kCom3)}, M::Serial, 3},
        {"a failing call ends the lookup", {Value("\\Device\\Serial0", "COM1"), FailingCall(), Value(kUsbName, kCom3)}, M::Serial, 2},
        {"a USB prefix in the data does not count", {Value("\\Device\\Serial2", std::string("\\??\\USB#Vid_0d5c&Pid_0002\0", 26))}, M::Serial, 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ScriptedMap map = {row.entries, 0};
        EXPECT_EQ(row.match, KindInDeviceMap("COM3", NextScriptedValue, &map));
        EXPECT_EQ(row.calls, map.calls);
    }
}

TEST(AnswerMode, AutoWaitsForAnswersOnSerialPortsOnly)
{
    const struct {
        AnswerMode mode;
        PortKind kind;
        int ackMode;
    } rows[] = {
        {AnswerMode::Auto, PortKind::Serial, 1},   {AnswerMode::Auto, PortKind::DeviceUsb, 0},
        {AnswerMode::Auto, PortKind::Parallel, 0}, {AnswerMode::Ack, PortKind::Parallel, 1},
        {AnswerMode::Silent, PortKind::Serial, 0},
    };
    for (const auto& row : rows) EXPECT_EQ(row.ackMode, AckModeFor(row.mode, row.kind)) << int(row.mode);
}

}  // namespace
