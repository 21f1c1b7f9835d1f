// Port naming, the device-map rules, the answer mode and the open-error
// texts: plain rules, the same on every platform.
#include "port_rules.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

bool IsParallelPort(PortCode code) { return (code & kParallelPortBit) != 0; }

void FormatPortName(PortCode code, char (&name)[kPortNameSize])
{
    snprintf(name, sizeof name, "%s%u", IsParallelPort(code) ? "LPT" : "COM",
             unsigned(code & kPortNumberMask));
}

void FormatDevicePath(PortCode code, char (&path)[kDevicePathSize])
{
    char name[kPortNameSize];
    FormatPortName(code, name);
    snprintf(path, sizeof path, "\\\\.\\%s", name);
}

bool PortCodeOfName(const char* name, PortCode& code)
{
    bool lettersKnown = StartsWithIgnoringCase(name, "COM") || StartsWithIgnoringCase(name, "LPT");
    if (!lettersKnown || !IsCanonicalPortNumber(name + 3)) return false;
    long number = EntryNumber(name);
    if (number < 1 || number > 0xFFF) return false;  // what a port code can hold
    code = PortCodeOfEntry(name);
    return true;
}

const char* PortKindName(PortKind kind)
{
    switch (kind) {
    case PortKind::Serial: return "serial";
    case PortKind::DeviceUsb: return "device-usb";
    case PortKind::Parallel: return "parallel";
    }
    return "serial";
}

namespace {

// The data equals the name when it holds the name's characters and then
// either ends or has its terminating NUL; never reads past dataSize.
bool DataEqualsName(const DeviceMapValue& value, const char* portName)
{
    size_t length = strlen(portName);
    if (value.dataSize < length || memcmp(value.data, portName, length) != 0) return false;
    return value.dataSize == length || value.data[length] == '\0';
}

}  // namespace

bool HasDeviceUsbPrefix(const char* valueName) { return StartsWithIgnoringCase(valueName, kDeviceUsbPrefix); }

PortKind KindInDeviceMap(const char* portName, NextDeviceMapValue next, void* map)
{
    DeviceMapValue value = {};
    for (unsigned long index = 0; next(map, index, value); ++index) {
        if (value.type != kRegistryString || !DataEqualsName(value, portName)) continue;
        return HasDeviceUsbPrefix(value.name) ? PortKind::DeviceUsb : PortKind::Serial;
    }
    return PortKind::Serial;
}

int AckModeFor(AnswerMode mode, PortKind kind)
{
    switch (mode) {
    case AnswerMode::Ack: return 1;
    case AnswerMode::Silent: return 0;
    case AnswerMode::Auto: break;
    }
    return kind == PortKind::Serial ? 1 : 0;
}

void FormatOpenError(PortOpening& opening, const char* name, PortError error, const char* reason)
{
    // Only a refusal of the user's rights has a cure worth naming.
    const char* hint = error == PortError::AccessDenied
                           ? " (serial ports usually belong to the dialout group: "
                             "sudo usermod -aG dialout $USER, then log in again)"
                           : "";
    opening.port = nullptr;
    opening.error = error;
    // What is no port at all is told as it is, not as a failure to open.
    const char* format = error == PortError::NotAPort ? "%s %s%s" : "cannot open %s: %s%s";
    snprintf(opening.message, sizeof opening.message, format, name, reason, hint);
}

// ---- discovery ----------------------------------------------------------

namespace {

constexpr char kSerialNamePrefix[] = "COM";
constexpr char kParallelDataPrefix[] = "\\DosDevices\\LPT";  // 15 characters
constexpr size_t kDosDevicesLength = 12;                        // "\DosDevices\"

// "LPT65535" is the longest name; "\DosDevices\LPT65535" the longest data
// that names a port. Anything longer names none.
constexpr size_t kLongestPortData = kDosDevicesLength + kPortNameSize;

// The value's data as a C string: up to its first NUL, or all of it when
// it has none. False for a value too long to name a port.
bool DataText(const DeviceMapValue& value, char (&text)[kLongestPortData])
{
    const void* end = memchr(value.data, '\0', value.dataSize);
    size_t length = end ? size_t(static_cast<const char*>(end) - value.data) : value.dataSize;
    if (length >= sizeof text) return false;
    memcpy(text, value.data, length);
    text[length] = '\0';
    return true;
}

// A string value whose data is `prefix` (any case) and a canonical number;
// the name is the data from `nameStart` on.
bool PortOfValue(const DeviceMapValue& value, const char* prefix, size_t nameStart,
                 char (&name)[kPortNameSize])
{
    char text[kLongestPortData];
    if (value.type != kRegistryString || !DataText(value, text)) return false;
    if (!StartsWithIgnoringCase(text, prefix) || !IsCanonicalPortNumber(text + strlen(prefix))) return false;
    // A canonical number has at most five digits, so the name always fits.
    int length = snprintf(name, sizeof name, "%s", text + nameStart);
    return length > 0 && size_t(length) < sizeof name;
}

using PortOfValueRule = bool (*)(const DeviceMapValue& value, char (&name)[kPortNameSize]);

void CollectPorts(NextDeviceMapValue next, void* map, PortOfValueRule rule, bool parallel,
                  VisitMappedPort visit, void* context)
{
    DeviceMapValue value = {};
    for (unsigned long index = 0; next(map, index, value); ++index) {
        char name[kPortNameSize];
        if (rule(value, name)) visit(context, {name, value.name, parallel});
    }
}

}  // namespace

bool IsCanonicalPortNumber(const char* text)
{
    // No text longer than five characters equals a number below 65536, and
    // none that short can overflow the conversion.
    if (strlen(text) > 5) return false;
    int number = 0;
    if (sscanf(text, "%d", &number) != 1) return false;
    char printed[8];
    snprintf(printed, sizeof printed, "%d", number & 0xFFFF);
    return strcmp(printed, text) == 0;
}

bool SerialPortOfValue(const DeviceMapValue& value, char (&name)[kPortNameSize])
{
    return PortOfValue(value, kSerialNamePrefix, 0, name);
}

bool ParallelPortOfValue(const DeviceMapValue& value, char (&name)[kPortNameSize])
{
    return PortOfValue(value, kParallelDataPrefix, kDosDevicesLength, name);
}

void CollectSerialPorts(NextDeviceMapValue next, void* map, VisitMappedPort visit, void* context)
{
    CollectPorts(next, map, SerialPortOfValue, false, visit, context);
}

void CollectParallelPorts(NextDeviceMapValue next, void* map, VisitMappedPort visit, void* context)
{
    CollectPorts(next, map, ParallelPortOfValue, true, visit, context);
}

void CollectFixedParallelPorts(VisitMappedPort visit, void* context)
{
    static const char* const kFixedNames[] = {"LPT1", "LPT2", "LPT3"};
    for (const char* name : kFixedNames) visit(context, {name, "", true});
}

bool IsSerialEntry(const char* entry) { return StartsWithIgnoringCase(entry, kSerialNamePrefix); }

long EntryNumber(const char* entry)
{
    // strtol is what a "%d" conversion does, without its undefined overflow.
    if (strnlen(entry, 3) < 3) return 0;
    return strtol(entry + 3, nullptr, 10);
}

PortCode PortCodeOfEntry(const char* entry)
{
    PortCode number = PortCode(EntryNumber(entry)) & 0xFFF;
    return IsSerialEntry(entry) ? number : number | kParallelPortBit;
}

int FindPresetEntry(PortCode code, int count, ReadPortEntry read, void* list)
{
    for (int index = count - 1; index >= 0; --index) {
        char entry[kPortNameSize];
        if (read(list, index, entry) && PortCodeOfEntry(entry) == code) return index;
    }
    return -1;
}

namespace {

struct BaudRow {
    BaudSelector selector;
    unsigned long rate;
};

// The one baud table, in the order of the selectors' identifiers.
constexpr BaudRow kBaudTable[] = {
    {kBaud19200, 19200},
    {kBaud9600, 9600},
    {kBaud4800, 4800},
    {kBaud38400, 38400},
};

}  // namespace

const char kBaudRateList[] = "4800, 9600, 19200 or 38400";

unsigned long BaudRateOf(BaudSelector selector)
{
    for (const BaudRow& row : kBaudTable)
        if (row.selector == selector) return row.rate;
    return 9600;
}

BaudSelector SelectorOfBaud(unsigned long rate)
{
    for (const BaudRow& row : kBaudTable)
        if (row.rate == rate) return row.selector;
    return kDefaultBaudSelector;
}

unsigned long ParseBaudRate(const char* text)
{
    for (const BaudRow& row : kBaudTable) {
        char decimal[8];
        std::snprintf(decimal, sizeof decimal, "%lu", row.rate);
        if (std::strcmp(text, decimal) == 0) return row.rate;
    }
    return 0;
}

// ---- what Windows' device installer says of a port -------------------------

namespace {

// The separators of a device's names: instance ids and hardware ids use \ and
// &, device-map names #, FTDI's driver +.
bool IsNameSeparator(char c) { return c == '\\' || c == '&' || c == '#' || c == '+'; }

// "VID_" (any case) and four hexadecimal digits at `text`; the number.
bool TakeUsbNumber(const char* text, const char* label, unsigned& number)
{
    if (!StartsWithIgnoringCase(text, label)) return false;
    number = 0;
    for (int i = 4; i < 8; ++i) {
        char c = text[i];
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0) return false;
        number = number * 16 + unsigned(digit);
    }
    return true;
}

// Where "VID_xxxx" and "PID_xxxx" stand, one separator apart, each part of
// the name on its own: the text just after them; null when nowhere.
const char* AfterUsbIds(const char* name, unsigned& vendor, unsigned& product)
{
    for (const char* at = name; *at; ++at) {
        if (at != name && !IsNameSeparator(at[-1])) continue;
        if (!TakeUsbNumber(at, "VID_", vendor) || !IsNameSeparator(at[8])) continue;
        if (!TakeUsbNumber(at + 9, "PID_", product)) continue;
        if (at[17] == '\0' || IsNameSeparator(at[17])) return at + 17;
    }
    return nullptr;
}

}  // namespace

bool UsbIdsOfDeviceName(const char* name, unsigned& vendor, unsigned& product)
{
    return AfterUsbIds(name, vendor, product) != nullptr;
}

void UsbSerialOfDeviceName(const char* name, char* serial, size_t size)
{
    serial[0] = '\0';
    unsigned vendor = 0, product = 0;
    const char* rest = AfterUsbIds(name, vendor, product);
    // "&REV_0100" or "&MI_00": a hardware id's, or an interface's, which
    // never carries the device's serial number.
    if (!rest || (*rest != '\\' && *rest != '#' && *rest != '+')) return;
    bool ftdi = *rest == '+';
    ++rest;
    size_t length = strcspn(rest, ftdi ? "\\" : "\\#");
    if (ftdi && length > 1) --length;  // its driver adds the channel letter
    // A part Windows made up from the device's place has '&' in it.
    if (length == 0 || memchr(rest, '&', length) || length >= size) return;
    memcpy(serial, rest, length);
    serial[length] = '\0';
}

void DescriptionOfFriendlyName(const char* friendlyName, const char* portName, char* description, size_t size)
{
    size_t length = strlen(friendlyName), nameLength = strlen(portName);
    // " (COM5)": two spaces' and brackets' worth around the name.
    const char* suffix = length >= nameLength + 3 ? friendlyName + length - nameLength - 3 : nullptr;
    if (suffix && strncmp(suffix, " (", 2) == 0 && EqualIgnoringCase(suffix + 2, portName, nameLength) &&
        suffix[nameLength + 2] == ')')
        length -= nameLength + 3;
    snprintf(description, size, "%.*s", int(length), friendlyName);
}

bool IsPlaceName(const char* name) { return std::strncmp(name, "usb:", 4) == 0; }

namespace {
const char* const kModemLineNames[] = {"DSR", "CTS", "DCD"};
}

const char* ModemLineName(ModemLine line) { return kModemLineNames[int(line)]; }

bool ParseModemLine(const char* name, ModemLine& line)
{
    for (int i = 0; i < 3; ++i)
        if (std::strcmp(name, kModemLineNames[i]) == 0) {
            line = ModemLine(i);
            return true;
        }
    return false;
}
