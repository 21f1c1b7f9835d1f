// quorvane-cli's ports on Windows: COMn and LPTn, opened and set up exactly
// as the Windows program opens them.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <io.h>

#include "cli_port.h"
#include "port.h"

struct CliPort {
    HANDLE handle;
};

namespace {

// "COM3" -> 0x0003, "lpt1" -> 0x8001; false for anything else.
bool PortCodeOfName(const char* name, PortCode& code)
{
    bool serial = _strnicmp(name, "COM", 3) == 0;
    if (!serial && _strnicmp(name, "LPT", 3) != 0) return false;
    const char* digits = name + 3;
    if (!std::isdigit((unsigned char)*digits)) return false;
    char* end = nullptr;
    unsigned long number = std::strtoul(digits, &end, 10);
    if (*end || number == 0 || number > kPortNumberMask) return false;
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

void DescribeLastError(const char* name, char* text, size_t size)
{
    DWORD error = GetLastError();
    char reason[160] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, reason,
                   sizeof reason, nullptr);
    reason[std::strcspn(reason, "\r\n")] = '\0';
    if (error == ERROR_ACCESS_DENIED)
        std::snprintf(text, size, "cannot open %s: port busy or access denied (%s)", name, reason);
    else
        std::snprintf(text, size, "cannot open %s: %s (error %lu)", name, reason, (unsigned long)error);
}

}  // namespace

OpenedCliPort OpenCliPort(const char* name, long baud, AnswerMode mode)
{
    OpenedCliPort opened = {nullptr, 0, ""};
    PortCode code = 0;
    if (!PortCodeOfName(name, code)) {
        std::snprintf(opened.error, sizeof opened.error, "cannot open %s: a port is COMn or LPTn", name);
        return opened;
    }
    OpenedPort port = OpenDevicePort(code, SelectorOfBaud(baud));
    if (port.handle == INVALID_HANDLE_VALUE) {
        DescribeLastError(name, opened.error, sizeof opened.error);
        return opened;
    }
    opened.port = new CliPort{port.handle};
    opened.ackMode = mode == AnswerMode::Ack ? 1 : mode == AnswerMode::Silent ? 0 : port.ackMode;
    return opened;
}

void CloseCliPort(CliPort* port)
{
    CloseHandle(port->handle);
    delete port;
}

void FillCliSeam(TransferSeam& seam, CliPort* port, void* context,
                 void (*notify)(void* context, unsigned message, long long total))
{
    FillWin32Seam(seam, port->handle, nullptr);
    seam.dialog = context;
    seam.notify = notify;
}

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

namespace {

struct ListTarget {
    void (*add)(void* context, const PortListing& port);
    void* context;
};

// The serial map names the target device's own USB port with its prefix.
void AddMappedPort(void* raw, const MappedPort& port)
{
    const ListTarget& target = *static_cast<const ListTarget*>(raw);
    PortListing listing = {};
    std::snprintf(listing.name, sizeof listing.name, "%s", port.name);
    listing.kind = port.parallel ? "parallel" : HasDeviceUsbPrefix(port.valueName) ? "device-usb" : "serial";
    target.add(target.context, listing);
}

}  // namespace

// The ports the Windows program's port settings dialog offers, in the same order.
void ListCliPorts(void (*add)(void* context, const PortListing& port), void* context)
{
    ListTarget target = {add, context};
    DiscoverMappedPorts(AddMappedPort, &target);
}
