// The port rules as tables, one row per branch: names and paths of port
// codes, the device-map lookup and walks, the answer mode, and the port
// settings dialog's entries and preset search.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "port_rules.h"

namespace {

// A device map as the enumeration hands it out; a value marked `fails`
// stands for a call that fails there (a value too long for the buffers).
struct MapEntry {
    std::string name;
    unsigned long type;
    std::string data;  // bytes as returned, terminating NUL included if any
    bool fails;
};

struct ScriptedMap {
    std::vector<MapEntry> entries;
    unsigned long calls;
};

bool NextScriptedValue(void* map, unsigned long index, DeviceMapValue& value)
{
    ScriptedMap& scripted = *static_cast<ScriptedMap*>(map);
    EXPECT_EQ(scripted.calls, index) << "indices go 0, 1, 2, ...";
    ++scripted.calls;
    if (index >= scripted.entries.size() || scripted.entries[index].fails) return false;
    const MapEntry& entry = scripted.entries[index];
    value = {entry.name.c_str(), entry.type, entry.data.data(), entry.data.size()};
    return true;
}

constexpr unsigned long kRegExpandSz = 2;
const MapEntry kFailingCall = {"", 0, "", true};
const char kUsbName[] = "\\??\\usb#VID_0D5C&PID_0002#7&1a2b3c4d&0&0000";
std::string Sz(const char* text) { return std::string(text, strlen(text) + 1); }
MapEntry Value(const std::string& name, const std::string& data, unsigned long type = kRegistryString)
{
    return {name, type, data, false};
}

TEST(PortCode, NameAndPath)
{
    const struct {
        PortCode code;
        const char* path;
    } rows[] = {
        {0x0003, "\\\\.\\COM3"},       {0x000A, "\\\\.\\COM10"},     {0x8001, "\\\\.\\LPT1"},
        {0x0000, "\\\\.\\COM0"},       {0x1003, "\\\\.\\COM4099"},   {0xFFFF, "\\\\.\\LPT32767"},
        {0xFFFF8002, "\\\\.\\LPT2"},
    };
    for (const auto& row : rows) {
        char name[kPortNameSize], path[kDevicePathSize];
        FormatPortName(row.code, name);
        FormatDevicePath(row.code, path);
        EXPECT_STREQ(row.path, path);
        EXPECT_STREQ(row.path + 4, name);
    }
}

TEST(DeviceMap, FirstStringValueNamingThePortDecidesItsKind)
{
    const std::string com3 = Sz("COM3");
    const struct {
        const char* what;
        std::vector<MapEntry> entries;
        PortKind kind;
        unsigned long calls;  // enumeration calls made, the failing one included
    } rows[] = {
        {"empty map", {}, PortKind::Serial, 1},
        {"plain serial port", {Value("\\Device\\Serial0", Sz("COM1")), Value("\\Device\\Serial2", com3)},
         PortKind::Serial, 2},
        {"device USB port, prefix in any case", {Value("\\Device\\Serial0", Sz("COM1")), Value(kUsbName, com3)},
         PortKind::DeviceUsb, 2},
        {"data compared case-sensitively", {Value(kUsbName, Sz("com3"))}, PortKind::Serial, 2},
        {"data must be the whole name", {Value(kUsbName, Sz("COM30")), Value(kUsbName, Sz("COM"))},
         PortKind::Serial, 3},
        {"data without its NUL", {Value(kUsbName, "COM3")}, PortKind::DeviceUsb, 1},
        {"the first of duplicates decides", {Value("\\Device\\Serial2", com3), Value(kUsbName, com3)},
         PortKind::Serial, 1},
        {"non-string values are skipped", {Value(kUsbName, com3, kRegExpandSz), Value(kUsbName, com3)},
         PortKind::DeviceUsb, 2},
        {"a failing call ends the lookup", {kFailingCall, Value(kUsbName, com3)}, PortKind::Serial, 1},
        {"a 24-character prefix is not the device's", {Value("\\??\\USB#Vid_0d5c&Pid_000", com3)},
         PortKind::Serial, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ScriptedMap map = {row.entries, 0};
        EXPECT_EQ(row.kind, KindInDeviceMap("COM3", NextScriptedValue, &map));
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

TEST(OpenError, SaysWhatWasAttemptedAndNamesDialoutOnlyForADeniedUser)
{
    PortOpening opening;
    FormatOpenError(opening, "/dev/ttyS0", PortError::AccessDenied, "Permission denied");
    EXPECT_EQ(std::string(opening.message).find("cannot open /dev/ttyS0: Permission denied (serial ports usually "
                                                "belong to the dialout group"), 0u);
    FormatOpenError(opening, "/dev/ttyS0", PortError::Busy, "Device or resource busy");
    EXPECT_STREQ(opening.message, "cannot open /dev/ttyS0: Device or resource busy");
}

// What the walk visited, as "name|valueName|S" or "...|P".
void Record(void* context, const MappedPort& port)
{
    static_cast<std::vector<std::string>*>(context)->push_back(std::string(port.name) + "|" + port.valueName +
                                                              (port.parallel ? "|P" : "|S"));
}

TEST(Discovery, EveryValueNamingAPortInEnumerationOrderUntilACallFails)
{
    const struct {
        const char* what;
        bool parallel;
        std::vector<MapEntry> entries;
        std::vector<std::string> visited;
    } rows[] = {
        {"serial names as stored, duplicates kept, in enumeration order", false,
         {Value("a", Sz("COM10")), Value("b", Sz("com7")), Value("c", Sz("COM0")), Value("d", Sz("COM10")),
          Value("e", "COM3"), Value("f", Sz("COM65535"))},
         {"COM10|a|S", "com7|b|S", "COM0|c|S", "COM10|d|S", "COM3|e|S", "COM65535|f|S"}},
        {"not a canonical serial name", false,
         {Value("a", Sz("COM01")), Value("b", Sz("COM5x")), Value("c", Sz("COM 5")), Value("d", Sz("COM+5")),
          Value("e", Sz("COM65536")), Value("f", Sz("COM")), Value("g", Sz("LPT1")), Value("h", Sz("COM3"), 2),
          Value("i", Sz("COM1xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx")), Value("j", Sz("COM2"))},
         {"COM2|j|S"}},
        {"a failing call ends the map", false, {Value("a", Sz("COM1")), kFailingCall, Value("c", Sz("COM2"))},
         {"COM1|a|S"}},
        {"parallel names after \\DosDevices\\", true,
         {Value("a", Sz("\\DosDevices\\LPT2")), Value("b", Sz("\\DOSDEVICES\\lpt1")), Value("c", "\\DosDevices\\LPT3"),
          Value("d", Sz("\\Device\\Parallel0")), Value("e", Sz("\\DosDevices\\LPT02")),
          Value("f", Sz("\\DosDevices\\COM1")), Value("g", Sz("LPT1")), kFailingCall,
          Value("h", Sz("\\DosDevices\\LPT4"))},
         {"LPT2|a|P", "lpt1|b|P", "LPT3|c|P"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ScriptedMap map = {row.entries, 0};
        std::vector<std::string> visited;
        (row.parallel ? CollectParallelPorts : CollectSerialPorts)(NextScriptedValue, &map, Record, &visited);
        EXPECT_EQ(row.visited, visited);
    }
    std::vector<std::string> fixed;
    CollectFixedParallelPorts(Record, &fixed);
    EXPECT_EQ((std::vector<std::string>{"LPT1||P", "LPT2||P", "LPT3||P"}), fixed);
}

TEST(PortEntry, KindAndPortCode)
{
    const struct {
        const char* entry;
        bool serial;
        PortCode code;
    } rows[] = {
        {"COM3", true, 0x0003},     {"com7", true, 0x0007},     {"COM0", true, 0x0000},
        {"LPT1", false, 0x8001},    {"lpt2", false, 0x8002},    {"COM4099", true, 0x0003},
        {"LPT65535", false, 0x8FFF}, {"CO", false, 0x8000},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.entry);
        EXPECT_EQ(row.serial, IsSerialEntry(row.entry));
        EXPECT_EQ(row.code, PortCodeOfEntry(row.entry));
    }
}

// A sorted list as the combo box holds it; nullptr stands for an entry that
// cannot be read.
bool ReadScriptedEntry(void* list, int index, char (&entry)[kPortNameSize])
{
    const char* text = static_cast<std::vector<const char*>*>(list)->at(size_t(index));
    if (!text) return false;
    snprintf(entry, sizeof entry, "%s", text);
    return true;
}

TEST(PresetSearch, FromTheLastEntryToTheFirst)
{
    const std::vector<const char*> usual = {"COM1", "COM3", "LPT1"};
    const struct {
        const char* what;
        std::vector<const char*> entries;
        PortCode code;
        int found;
    } rows[] = {
        {"parallel port", usual, 0x8001, 2},
        {"serial port", usual, 0x0003, 1},
        {"first entry", usual, 0x0001, 0},
        {"absent port", usual, 0x8002, -1},
        {"COM3's number with bit 15 is no serial port", usual, 0x8003, -1},
        {"empty list", {}, 0x0003, -1},
        {"COM4099 after COM3 wins", {"COM3", "COM4099"}, 0x0003, 1},
        {"an unreadable entry is passed over", {"COM3", nullptr}, 0x0003, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<const char*> list = row.entries;
        EXPECT_EQ(row.found, FindPresetEntry(row.code, int(list.size()), ReadScriptedEntry, &list));
    }
}

TEST(PortName, OnlyNamesAPortCodeCanHold)
{
    const struct {
        const char* name;
        bool known;
        PortCode code;
    } rows[] = {
        {"COM3", true, 0x0003}, {"lpt1", true, 0x8001}, {"COM4095", true, 0x0FFF}, {"COM4096", false, 0},
        {"COM0", false, 0},     {"COM03", false, 0},    {"/dev/ttyS0", false, 0},
    };
    for (const auto& row : rows) {
        PortCode code = 0;
        EXPECT_EQ(row.known, PortCodeOfName(row.name, code)) << row.name;
        EXPECT_EQ(row.code, code) << row.name;
    }
}

TEST(DeviceInstaller, UsbIdsAndSerialNumberFromADevicesNames)
{
    const struct {
        const char* name;
        const char* usb;  // "" when the name carries no vendor and product
        const char* serial;
    } rows[] = {
        {"USB\\VID_0D5C&PID_0002&REV_0100", "0d5c:0002", ""},
        {"USB\\VID_0D5C&PID_0002\\QV0042", "0d5c:0002", "QV0042"},
        {"\\??\\USB#Vid_0d5c&Pid_0002#QV0042#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", "0d5c:0002", "QV0042"},
        {"USB\\VID_1A86&PID_7523\\5&2f3e0c1&0&3", "1a86:7523", ""},
        {"USB\\VID_0D5C&PID_0002&MI_00\\6&1b2c&0&0000", "0d5c:0002", ""},
        {"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", "0403:6001", "A50285BI"},
        {"FTDIBUS\\COMPORT&VID_0403&PID_6001", "0403:6001", ""},
        {"ACPI\\PNP0501\\1", "", ""},
        {"USB\\VID_0D5C&PID_00021\\QV1", "", ""},
        {"USB\\XVID_0D5C&PID_0002\\QV1", "", ""},
        {"USB\\VID_0D5G&PID_0002\\QV1", "", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        unsigned vendor = 0, product = 0;
        char usb[16] = "", serial[64];
        if (UsbIdsOfDeviceName(row.name, vendor, product)) snprintf(usb, sizeof usb, "%04x:%04x", vendor, product);
        UsbSerialOfDeviceName(row.name, serial, sizeof serial);
        EXPECT_STREQ(row.usb, usb);
        EXPECT_STREQ(row.serial, serial);
    }
    const char* friendly[][2] = {{"USB Serial Device (COM5)", "USB Serial Device"},
                                 {"Communications Port (com1)", "Communications Port"},
                                 {"USB Serial Port (COM50)", "USB Serial Port (COM50)"}};
    for (const auto& row : friendly) {
        char description[64];
        DescriptionOfFriendlyName(row[0], strstr(row[0], "(com1)") ? "COM1" : "COM5", description, sizeof description);
        EXPECT_STREQ(row[1], description);
    }
}

}  // namespace
