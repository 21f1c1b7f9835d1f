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
    bool lettersKnown = strncasecmp(name, "COM", 3) == 0 || strncasecmp(name, "LPT", 3) == 0;
    if (!lettersKnown || !IsCanonicalPortNumber(name + 3)) return false;
    long number = EntryNumber(name);
    if (number < 1 || number > 0xFFF) return false;  // what a port code can hold
    code = PortCodeOfEntry(name);
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
