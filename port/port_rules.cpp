// Port naming, baud rates, the device-map rule and the line settings:
// plain rules, the same on every platform.
#include <cstdio>
#include <cstring>

#include "port.h"

bool IsParallelPort(PortCode code) { return (code & kParallelPortBit) != 0; }

int AckModeOfKind(PortCode code) { return IsParallelPort(code) ? 0 : 1; }

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

unsigned long BaudRateOf(BaudSelector selector)
{
    switch (selector) {
    case kBaud19200: return 19200;
    case kBaud9600: return 9600;
    case kBaud4800: return 4800;
    case kBaud38400: return 38400;
    }
    return 9600;
}

namespace {

// ASCII only, so the result does not hang on the user's locale.
char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

// The data equals the name when it holds the name's characters and then
// either ends or has its terminating NUL; never reads past dataSize.
bool DataEqualsName(const DeviceMapValue& value, const char* portName)
{
    size_t length = strlen(portName);
    if (value.dataSize < length || memcmp(value.data, portName, length) != 0) return false;
    return value.dataSize == length || value.data[length] == '\0';
}

}  // namespace

bool HasDeviceUsbPrefix(const char* valueName)
{
    for (size_t i = 0; i < kDeviceUsbPrefixLength; ++i) {
        // A shorter name stops at its NUL, which matches no prefix character.
        if (UpperAscii(valueName[i]) != UpperAscii(kDeviceUsbPrefix[i])) return false;
    }
    return true;
}

DeviceMapMatch MatchInDeviceMap(const char* portName, NextDeviceMapValue next, void* map)
{
    DeviceMapValue value = {};
    for (unsigned long index = 0; next(map, index, value); ++index) {
        if (value.type != kRegistryString || !DataEqualsName(value, portName)) continue;
        return HasDeviceUsbPrefix(value.name) ? DeviceMapMatch::DeviceUsbPort
                                              : DeviceMapMatch::SerialPort;
    }
    return DeviceMapMatch::NotListed;
}

int AckModeAfterLookup(int ackMode, DeviceMapMatch match)
{
    return match == DeviceMapMatch::DeviceUsbPort ? 0 : ackMode;
}

void SetUpSerialLine(SerialLineFields& line, BaudSelector selector)
{
    line.baudRate = BaudRateOf(selector);
    line.fBinary = 1;
    line.fParity = 0;
    line.fOutxCtsFlow = 0;
    line.fOutxDsrFlow = 0;
    line.fDtrControl = kDtrControlEnable;
    line.fDsrSensitivity = 0;
    line.fTXContinueOnXoff = 1;
    line.fOutX = 0;
    line.fInX = 0;
    line.fErrorChar = 0;
    line.fNull = 0;
    line.fRtsControl = kRtsControlEnable;
    line.fAbortOnError = 0;
    line.xonLim = 0;
    line.xoffLim = 0;
    line.byteSize = 8;
    line.parity = kNoParity;
    line.stopBits = kOneStopBit;
    line.xonChar = 0;
    line.xoffChar = 0;
    line.errorChar = 0;
    line.eofChar = 0;
    line.evtChar = 0;
}
