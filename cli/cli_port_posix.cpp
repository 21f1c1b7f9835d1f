// quorvane-cli's ports on Linux: device paths, sysfs for the USB identity.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "cli_port.h"
#include "port.h"

struct CliPort {
    PosixPort port;
};

namespace {

// Tests point discovery at a tree of their own.
const char* SysfsRoot()
{
    const char* root = std::getenv("QUORVANE_SYSFS_ROOT");
    return root && *root ? root : "/sys";
}

const char* DevRoot()
{
    const char* root = std::getenv("QUORVANE_DEV_ROOT");
    return root && *root ? root : "/dev";
}

void DescribeOpenError(const char* name, int error, char* text, size_t size)
{
    if (error == EBUSY) {
        std::snprintf(text, size, "cannot open %s: port busy (another program has it open)", name);
    } else if (error == EACCES || error == EPERM) {
        std::snprintf(text, size,
                      "cannot open %s: %s (serial ports usually belong to the dialout group: "
                      "sudo usermod -aG dialout $USER, then log in again)",
                      name, std::strerror(error));
    } else {
        std::snprintf(text, size, "cannot open %s: %s", name, std::strerror(error));
    }
}

const char* KindName(PosixPortKind kind)
{
    switch (kind) {
    case PosixPortKind::Serial: return "serial";
    case PosixPortKind::DeviceUsb: return "device-usb";
    case PosixPortKind::Parallel: return "parallel";
    }
    return "serial";
}

}  // namespace

OpenedCliPort OpenCliPort(const char* name, long baud, AnswerMode mode)
{
    OpenedCliPort opened = {nullptr, 0, ""};
    CliPort* port = new CliPort;
    int error = OpenPosixPort(name, port->port);
    PosixPortKind kind = error ? PosixPortKind::Serial : KindOfPosixPort(SysfsRoot(), port->port);
    // A serial line runs at the chosen rate whether or not the device answers.
    if (!error && kind == PosixPortKind::Serial) error = SetUpPosixLine(port->port, (unsigned long)baud);
    if (error) {
        ClosePosixPort(port->port);
        delete port;
        DescribeOpenError(name, error, opened.error, sizeof opened.error);
        return opened;
    }
    opened.port = port;
    opened.ackMode = mode == AnswerMode::Ack ? 1 : mode == AnswerMode::Silent ? 0 : kind == PosixPortKind::Serial;
    return opened;
}

void CloseCliPort(CliPort* port)
{
    ClosePosixPort(port->port);
    delete port;
}

void FillCliSeam(TransferSeam& seam, CliPort* port, void* context,
                 void (*notify)(void* context, unsigned message, long long total))
{
    FillPosixSeam(seam, port->port, context, notify);
}

void ListCliPorts(void (*add)(void* context, const PortListing& port), void* context)
{
    struct Forward {
        void (*add)(void*, const PortListing&);
        void* context;
    } forward = {add, context};
    DiscoverPosixPorts(SysfsRoot(), DevRoot(), [](void* raw, const FoundPort& found) {
        Forward& target = *static_cast<Forward*>(raw);
        PortListing listing = {};
        std::snprintf(listing.name, sizeof listing.name, "%s", found.path);
        listing.kind = KindName(found.kind);
        listing.usb = found.usb;
        listing.vendor = found.vendor;
        listing.product = found.product;
        std::snprintf(listing.description, sizeof listing.description, "%s", found.description);
        target.add(target.context, listing);
    }, &forward);
}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }
