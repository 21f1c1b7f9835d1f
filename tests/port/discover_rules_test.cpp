// Port discovery's rules and the port settings dialog's entry rules, as
// tables: which device-map values name a port, and which port code an
// entry stands for.
#include <gtest/gtest.h>

#include <cstdio>
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

constexpr unsigned long kRegExpandSz = 2;
constexpr unsigned long kRegBinary = 3;
constexpr unsigned long kRegDword = 4;

TEST(CanonicalPortNumber, OnlyTheNumberAsPrintedBackQualifies)
{
    const struct {
        const char* text;
        bool canonical;
    } rows[] = {
        {"3", true},      {"12", true},     {"0", true},      {"65535", true},  {"10", true},
        {"03", false},    {"3A", false},    {" 5", false},    {"+5", false},    {"-1", false},
        {"65536", false},  // printed back as 0
        {"99999", false},  // printed back as 34463
        {"4294967299", false}, {"", false}, {"00", false},    {"3 ", false},    {"x", false},
    };
    for (const auto& row : rows) EXPECT_EQ(row.canonical, IsCanonicalPortNumber(row.text)) << '"' << row.text << '"';
}

DeviceMapValue ValueOf(const std::string& data, unsigned long type = kRegistryString,
                       const char* name = "\\Device\\Serial0")
{
    return {name, type, data.data(), data.size()};
}

std::string Sz(const char* text) { return std::string(text, strlen(text) + 1); }

struct ValueRow {
    const char* what;
    std::string data;
    unsigned long type;
    const char* name;  // nullptr: no port
};

template <size_t N>
void ExpectPorts(const ValueRow (&rows)[N], bool (*rule)(const DeviceMapValue&, char (&)[kPortNameSize]))
{
    for (const ValueRow& row : rows) {
        SCOPED_TRACE(row.what);
        char name[kPortNameSize] = "unchanged";
        bool named = rule(ValueOf(row.data, row.type), name);
        EXPECT_EQ(row.name != nullptr, named);
        if (row.name && named) {
            EXPECT_STREQ(row.name, name);
        }
    }
}

TEST(SerialDeviceMapValue, DataBeginningWithComAndACanonicalNumberIsPassedAsStored)
{
    const ValueRow rows[] = {
        {"COM1", Sz("COM1"), kRegistryString, "COM1"},
        {"COM10", Sz("COM10"), kRegistryString, "COM10"},
        {"lower case kept", Sz("com7"), kRegistryString, "com7"},
        {"mixed case kept", Sz("cOm3"), kRegistryString, "cOm3"},
        {"COM0", Sz("COM0"), kRegistryString, "COM0"},
        {"largest number", Sz("COM65535"), kRegistryString, "COM65535"},
        {"data without its NUL", "COM3", kRegistryString, "COM3"},
        {"data ends at its NUL", std::string("COM3\0junk", 9), kRegistryString, "COM3"},
        {"leading zero", Sz("COM01"), kRegistryString, nullptr},
        {"letter after the number", Sz("COM5x"), kRegistryString, nullptr},
        {"blank before the number", Sz("COM 5"), kRegistryString, nullptr},
        {"sign", Sz("COM+5"), kRegistryString, nullptr},
        {"negative", Sz("COM-1"), kRegistryString, nullptr},
        {"too large", Sz("COM65536"), kRegistryString, nullptr},
        {"bare COM", Sz("COM"), kRegistryString, nullptr},
        {"too short", Sz("CO"), kRegistryString, nullptr},
        {"empty", "", kRegistryString, nullptr},
        {"a parallel name", Sz("LPT1"), kRegistryString, nullptr},
        {"a device path", Sz("\\DosDevices\\COM1"), kRegistryString, nullptr},
        {"long data", Sz("COM1xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"), kRegistryString, nullptr},
        {"expandable string", Sz("COM3"), kRegExpandSz, nullptr},
        {"binary", Sz("COM3"), kRegBinary, nullptr},
        {"number", std::string("\3\0\0\0", 4), kRegDword, nullptr},
    };
    ExpectPorts(rows, SerialPortOfValue);
}

TEST(ParallelDeviceMapValue, DosDevicesLptAndACanonicalNumberGiveTheNameAfterDosDevices)
{
    const ValueRow rows[] = {
        {"LPT2", Sz("\\DosDevices\\LPT2"), kRegistryString, "LPT2"},
        {"lower-case port kept", Sz("\\DosDevices\\lpt2"), kRegistryString, "lpt2"},
        {"prefix in any case", Sz("\\DOSDEVICES\\Lpt1"), kRegistryString, "Lpt1"},
        {"largest number", Sz("\\DosDevices\\LPT65535"), kRegistryString, "LPT65535"},
        {"data without its NUL", "\\DosDevices\\LPT3", kRegistryString, "LPT3"},
        {"LPT0", Sz("\\DosDevices\\LPT0"), kRegistryString, "LPT0"},
        {"a device name", Sz("\\Device\\Parallel0"), kRegistryString, nullptr},
        {"leading zero", Sz("\\DosDevices\\LPT02"), kRegistryString, nullptr},
        {"too large", Sz("\\DosDevices\\LPT65536"), kRegistryString, nullptr},
        {"no number", Sz("\\DosDevices\\LPT"), kRegistryString, nullptr},
        {"a serial port", Sz("\\DosDevices\\COM1"), kRegistryString, nullptr},
        {"the bare name", Sz("LPT1"), kRegistryString, nullptr},
        {"without the first backslash", Sz("DosDevices\\LPT1"), kRegistryString, nullptr},
        {"expandable string", Sz("\\DosDevices\\LPT1"), kRegExpandSz, nullptr},
    };
    ExpectPorts(rows, ParallelPortOfValue);
}


MapEntry Value(const std::string& name, const char* data, unsigned long type = kRegistryString)
{
    return {name, type, Sz(data), false};
}

// What the walk visited, as "name|valueName|S" or "...|P".
void Record(void* context, const MappedPort& port)
{
    static_cast<std::vector<std::string>*>(context)->push_back(std::string(port.name) + "|" + port.valueName +
                                                              (port.parallel ? "|P" : "|S"));
}

const char kUsbName[] = "\\??\\USB#Vid_0d5c&Pid_0002#5&1&0";

TEST(SerialPortWalk, EveryValueNamingAPortInEnumerationOrderUntilACallFails)
{
    const struct {
        const char* what;
        std::vector<MapEntry> entries;
        std::vector<std::string> visited;
        unsigned long calls;  // enumeration calls made, the failing one included
    } rows[] = {
        {"empty map", {}, {}, 1},
        {"in enumeration order, not sorted",
         {Value("\\Device\\Serial9", "COM10"), Value("\\Device\\Serial0", "COM1"), Value("\\Device\\Serial6", "com7")},
         {"COM10|\\Device\\Serial9|S", "COM1|\\Device\\Serial0|S", "com7|\\Device\\Serial6|S"},
         4},
        {"duplicates kept", {Value("a", "COM3"), Value("b", "COM3")}, {"COM3|a|S", "COM3|b|S"}, 3},
        {"the value name goes along", {Value(kUsbName, "COM4")}, {std::string("COM4|") + kUsbName + "|S"}, 2},
        {"values naming no port skipped, the walk goes on",
         {Value("a", "COM01"), Value("b", "COM3", kRegExpandSz), Value("c", "COM5x"), Value("d", "COM2")},
         {"COM2|d|S"},
         5},
        {"a failing call ends the map", {Value("a", "COM1"), FailingCall(), Value("c", "COM2")}, {"COM1|a|S"}, 2},
        {"a failing first call gives nothing", {FailingCall(), Value("b", "COM2")}, {}, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ScriptedMap map = {row.entries, 0};
        std::vector<std::string> visited;
        CollectSerialPorts(NextScriptedValue, &map, Record, &visited);
        EXPECT_EQ(row.visited, visited);
        EXPECT_EQ(row.calls, map.calls);
    }
}

TEST(ParallelPortWalk, DosDevicesNamesUntilACallFails)
{
    ScriptedMap map = {{Value("\\Device\\Parallel1", "\\DosDevices\\LPT2"),
                        Value("\\Device\\Parallel0", "\\Device\\Parallel0"),
                        Value("\\Device\\Parallel3", "\\DosDevices\\lpt4"),
                        Value("\\Device\\Parallel5", "\\DosDevices\\LPT2"), FailingCall(),
                        Value("\\Device\\Parallel2", "\\DosDevices\\LPT3")},
                       0};
    std::vector<std::string> visited;
    CollectParallelPorts(NextScriptedValue, &map, Record, &visited);
    EXPECT_EQ((std::vector<std::string>{"LPT2|\\Device\\Parallel1|P", "lpt4|\\Device\\Parallel3|P",
                                        "LPT2|\\Device\\Parallel5|P"}),
              visited);
    EXPECT_EQ(5u, map.calls);
}

TEST(ParallelPortWalk, TheNineXFamilyAlwaysHasLpt1ToLpt3)
{
    std::vector<std::string> visited;
    CollectFixedParallelPorts(Record, &visited);
    EXPECT_EQ((std::vector<std::string>{"LPT1||P", "LPT2||P", "LPT3||P"}), visited);
}

TEST(PortEntry, NumberKindAndPortCode)
{
    const struct {
        const char* entry;
        bool serial;
        long number;
        PortCode code;
    } rows[] = {
        {"COM3", true, 3, 0x0003},        {"COM1", true, 1, 0x0001},
        {"COM12", true, 12, 0x000C},      {"com7", true, 7, 0x0007},
        {"cOM2", true, 2, 0x0002},        {"COM0", true, 0, 0x0000},
        {"LPT1", false, 1, 0x8001},       {"lpt2", false, 2, 0x8002},
        {"COM4095", true, 4095, 0x0FFF},  {"COM4096", true, 4096, 0x0000},
        {"COM4099", true, 4099, 0x0003},  {"LPT4097", false, 4097, 0x8001},
        {"COM65535", true, 65535, 0x0FFF}, {"LPT65535", false, 65535, 0x8FFF},
        // Not what discovery gives, but read the same way.
        {"COM", true, 0, 0x0000},         {"", false, 0, 0x8000},
        {"CO", false, 0, 0x8000},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.entry);
        EXPECT_EQ(row.serial, IsSerialEntry(row.entry));
        EXPECT_EQ(row.number, EntryNumber(row.entry));
        EXPECT_EQ(row.code, PortCodeOfEntry(row.entry));
    }
}

// A sorted list as the combo box holds it; nullptr stands for an entry that
// cannot be read.
struct ScriptedList {
    std::vector<const char*> entries;
    std::vector<int> reads;
};

bool ReadScriptedEntry(void* list, int index, char (&entry)[kPortNameSize])
{
    ScriptedList& scripted = *static_cast<ScriptedList*>(list);
    scripted.reads.push_back(index);
    const char* text = scripted.entries.at(size_t(index));
    if (!text) return false;
    snprintf(entry, sizeof entry, "%s", text);
    return true;
}

TEST(PresetSearch, FromTheLastEntryToTheFirstTheFirstMatchWins)
{
    const std::vector<const char*> usual = {"COM1", "COM3", "LPT1"};
    const struct {
        const char* what;
        std::vector<const char*> entries;
        PortCode code;
        int found;
        std::vector<int> reads;
    } rows[] = {
        {"parallel port", usual, 0x8001, 2, {2}},
        {"serial port", usual, 0x0003, 1, {2, 1}},
        {"first entry", usual, 0x0001, 0, {2, 1, 0}},
        {"absent serial port", usual, 0x0002, -1, {2, 1, 0}},
        {"absent parallel port", usual, 0x8002, -1, {2, 1, 0}},
        {"no port chosen", usual, 0x0000, -1, {2, 1, 0}},
        {"COM3's number with bit 15 is no serial port", usual, 0x8003, -1, {2, 1, 0}},
        {"LPT1's number without bit 15 is COM1", usual, 0x0001, 0, {2, 1, 0}},
        {"bits above 15 match nothing", usual, 0x10003, -1, {2, 1, 0}},
        {"empty list", {}, 0x0003, -1, {}},
        {"lower-case serial entry", {"COM1", "com7"}, 0x0007, 1, {1}},
        {"lower-case parallel entry", {"COM1", "lpt2"}, 0x8002, 1, {1}},
        {"COM4099 after COM3 wins", {"COM3", "COM4099"}, 0x0003, 1, {1}},
        {"a later duplicate wins", {"COM3", "COM3", "LPT1"}, 0x0003, 1, {2, 1}},
        {"COM0 is chosen by code 0", {"COM0", "COM1"}, 0x0000, 0, {1, 0}},
        {"an unreadable entry is passed over", {"COM3", nullptr}, 0x0003, 0, {1, 0}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ScriptedList list = {row.entries, {}};
        EXPECT_EQ(row.found, FindPresetEntry(row.code, int(row.entries.size()), ReadScriptedEntry, &list));
        EXPECT_EQ(row.reads, list.reads);
    }
}

}  // namespace
