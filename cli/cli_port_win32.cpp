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

// Every string value of one device map, in enumeration order.
void ForEachDeviceMapValue(const char* key, void (*visit)(void* context, const char* name, const char* data),
                           void* context)
{
    HKEY map;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &map) != ERROR_SUCCESS) return;
    for (DWORD index = 0;; ++index) {
        char name[kDeviceMapBufferSize], data[kDeviceMapBufferSize + 1] = "";
        DWORD nameSize = sizeof name, dataSize = kDeviceMapBufferSize, type = 0;
        if (RegEnumValueA(map, index, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataSize) !=
            ERROR_SUCCESS)
            break;
        data[dataSize < kDeviceMapBufferSize ? dataSize : kDeviceMapBufferSize] = '\0';
        if (type == REG_SZ) visit(context, name, data);
    }
    RegCloseKey(map);
}

struct ListTarget {
    void (*add)(void* context, const PortListing& port);
    void* context;
};

void AddSerial(void* raw, const char* name, const char* data)
{
    ListTarget& target = *static_cast<ListTarget*>(raw);
    PortListing listing = {};
    std::snprintf(listing.name, sizeof listing.name, "%s", data);
    listing.kind = HasDeviceUsbPrefix(name) ? "device-usb" : "serial";
    target.add(target.context, listing);
}

void AddParallel(void* raw, const char*, const char* data)
{
    const char prefix[] = "\\DosDevices\\";
    if (_strnicmp(data, prefix, sizeof prefix - 1) != 0) return;
    ListTarget& target = *static_cast<ListTarget*>(raw);
    PortListing listing = {};
    std::snprintf(listing.name, sizeof listing.name, "%s", data + sizeof prefix - 1);
    listing.kind = "parallel";
    target.add(target.context, listing);
}

}  // namespace

void ListCliPorts(void (*add)(void* context, const PortListing& port), void* context)
{
    ListTarget target = {add, context};
    ForEachDeviceMapValue("HARDWARE\\DEVICEMAP\\SERIALCOMM", AddSerial, &target);
    ForEachDeviceMapValue("HARDWARE\\DEVICEMAP\\PARALLEL PORTS", AddParallel, &target);
}
