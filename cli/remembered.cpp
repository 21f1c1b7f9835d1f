#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "cli_port.h"
#include "settings.h"

namespace {

const char kDeviceKey[] = "DEVICE";

}  // namespace

bool PortCodeOfName(const char* name, PortCode& code)
{
    bool serial = strncasecmp(name, "COM", 3) == 0;
    if (!serial && strncasecmp(name, "LPT", 3) != 0) return false;
    const char* digits = name + 3;
    if (!std::isdigit((unsigned char)*digits)) return false;
    char* end = nullptr;
    unsigned long number = std::strtoul(digits, &end, 10);
    if (*end || number == 0 || number > 0xFFF) return false;
    code = PortCode(number) | (serial ? 0 : kParallelPortBit);
    return true;
}

BaudSelector SelectorOfBaud(long baud)
{
    switch (baud) {
    case 19200: return kBaud19200;
    case 4800: return kBaud4800;
    case 38400: return kBaud38400;
    default: return kBaud9600;
    }
}

Remembered LoadRemembered()
{
    LoadSettings();
    Remembered remembered = {"", long(BaudRateOf(theBaudSelector))};
    SettingsStore store = PlatformSettingsStore();
    store.readText(store.context, kDeviceKey, "", remembered.port, sizeof remembered.port);
    if (!remembered.port[0] && thePortCode != 0) {
        char name[kPortNameSize];
        FormatPortName(PortCode(thePortCode), name);
        std::snprintf(remembered.port, sizeof remembered.port, "%s", name);
    }
    return remembered;
}

void SaveRemembered(const char* port, long baud)
{
    LoadSettings();
    theBaudSelector = SelectorOfBaud(baud);
    PortCode code = 0;
    bool named = PortCodeOfName(port, code);
    if (named) thePortCode = int32_t(code);
    SaveSettings();
    // A device path lives beside the port code; a port name clears it.
    SettingsStore store = PlatformSettingsStore();
    char current[256];
    store.readText(store.context, kDeviceKey, "", current, sizeof current);
    if (!named || current[0]) store.writeText(store.context, kDeviceKey, named ? "" : port);
}
