// quorvane-cli's ports on Windows: COMn and LPTn, opened and set up exactly
// as the Windows program opens them.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <io.h>

#include "cli_port.h"
#include "port.h"

struct CliPort {
    HANDLE handle;
};

namespace {

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
