// The port and baud rate quorvane-cli remembers, in the Windows program's
// settings file.
#include <cstdio>

#include "production.h"
#include "settings.h"

namespace {

const char kDeviceKey[] = "DEVICE";

}  // namespace

Remembered LoadRemembered()
{
    LoadSettings();
    Remembered remembered = {"", BaudRateOf(theBaudSelector)};
    SettingsStore store = PlatformSettingsStore();
    store.readText(store.context, kDeviceKey, "", remembered.port, sizeof remembered.port);
    if (!remembered.port[0] && thePortCode != 0) {
        char name[kPortNameSize];
        FormatPortName(thePortCode, name);
        std::snprintf(remembered.port, sizeof remembered.port, "%s", name);
    }
    return remembered;
}

bool SaveRemembered(const char* port, unsigned long baud, Failure& failure)
{
    LoadSettings();
    theBaudSelector = SelectorOfBaud(baud);
    PortCode code = 0;
    bool named = PortCodeOfName(port, code);
    if (named) thePortCode = code;
    SettingsStore store = PlatformSettingsStore();
    if (!SaveSettingsTo(store, failure.text, sizeof failure.text)) return false;
    // A device path lives beside the port code; a port name clears it.
    char current[256];
    store.readText(store.context, kDeviceKey, "", current, sizeof current);
    if (named && !current[0]) return true;
    return store.writeText(store.context, kDeviceKey, named ? "" : port, failure.text, sizeof failure.text);
}
