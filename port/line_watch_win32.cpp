// A fixture's modem status line on Windows: the line's level at each look
// (GetCommModemStatus). The watch holds the port, which Windows opens for
// one holder only, so the station stops it before the next job opens it.
#include <windows.h>

#include "port.h"
#include "port_rules.h"

struct LineWatch {
    HANDLE handle;
    DWORD bit;
    bool wasHigh;
};

namespace {

bool IsHigh(const LineWatch& watch)
{
    DWORD status = 0;
    return GetCommModemStatus(watch.handle, &status) && (status & watch.bit) != 0;
}

}  // namespace

LineWatch* WatchModemLine(const char* name, ModemLine line, Failure& failure)
{
    PortCode code = 0;
    char path[kDevicePathSize];
    if (!PortCodeOfName(name, code)) {
        Fail(failure, "cannot watch %s on %s: not a COM port", ModemLineName(line), name);
        return nullptr;
    }
    FormatDevicePath(code, path);
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        Fail(failure, "cannot watch %s on %s: error %lu", ModemLineName(line), name, GetLastError());
        return nullptr;
    }
    DWORD bit = line == ModemLine::Dsr ? MS_DSR_ON : line == ModemLine::Cts ? MS_CTS_ON : MS_RLSD_ON;
    LineWatch* watch = new LineWatch{handle, bit, false};
    watch->wasHigh = IsHigh(*watch);
    return watch;
}

bool ModemLineRose(LineWatch* watch)
{
    bool high = IsHigh(*watch);
    bool rose = !watch->wasHigh && high;
    watch->wasHigh = high;
    return rose;
}

void StopWatchingModemLine(LineWatch* watch)
{
    if (!watch) return;
    CloseHandle(watch->handle);
    delete watch;
}
