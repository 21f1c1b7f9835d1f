// Which device-map values name a port, and how the port settings dialog
// turns its list entries into a port code: plain rules, the same everywhere.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "port.h"

namespace {

// ASCII only, so the result does not hang on the user's locale.
char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool StartsWithIgnoringCase(const char* text, const char* prefix)
{
    for (; *prefix; ++text, ++prefix) {
        // A shorter text stops at its NUL, which matches no prefix character.
        if (LowerAscii(*text) != LowerAscii(*prefix)) return false;
    }
    return true;
}

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
