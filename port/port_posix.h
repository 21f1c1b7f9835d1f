// What port/ keeps of a Linux port, what sysfs tells about the USB device
// behind one, and the clock and line settings that the simulator, which
// plays the device on the same Linux terminals, shares with the ports.
// Inside port/, its tests and sim/ only.
#pragma once

#include <climits>
#include <cstdint>
#include <sys/types.h>
#include <termios.h>

#include "port_rules.h"

// Owned by the job's front end; the worker uses it only through the seam.
struct Port {
    int fd;
    bool isTerminal;  // its line settings and exclusive mode were changed and are put back on close
    termios saved;    // the settings found on opening

    // Low latency, asked for on opening and put back on close.
    bool restoreSerialFlags;  // ASYNC_LOW_LATENCY was set: the driver's flags below
    int savedSerialFlags;
    char latencyTimer[PATH_MAX];  // the sysfs latency_timer changed; "" if none
    char savedLatency[16];
    char eventChar[PATH_MAX];     // the sysfs event_char set to ACK, turned off on close; "" if none

    // When the device's answer can come at the earliest: the time the line
    // takes for what was written, and then the answer's own byte.
    uint64_t byteNs;          // a byte's time on the line; 0: no line to wait for
    uint64_t lineFreeNs;      // when the line will have carried everything written
    uint64_t answerDueNs;     // 0 once the wait for it has begun
};

// The monotonic clock, in nanoseconds.
uint64_t NowNs();

// A terminal's settings for carrying frames as they are: no echo, no line
// editing, no translation, 8 bits, reads that never block.
void MakeRaw(termios& settings);

// A late wake-up from a sleep through a whole frame would add itself to
// every frame: a wait for a byte that is due sleeps until this long before
// it can come, then reads without sleeping for a bounded time.
constexpr uint64_t kSpinBeforeNs = 300000;
constexpr uint64_t kSpinAfterNs = 2000000;

// UNIX98 pty slaves (/dev/pts/N), which have no sysfs entry of their own.
bool IsPtySlave(dev_t device);

// What a path names, decided without opening it.
enum class PathKind { Missing, Terminal, Printer, NotAPort };

// A tty (by its sysfs class, or a pty's device number) or a printer port;
// for NotAPort, `why` says what it is instead ("is a regular file, ...").
PathKind KindOfPath(const char* path, char* why, size_t size);

// Another process with the same character device open, as "NAME (PID N)";
// false when there is none that this user may see. The process that owns
// a pty's other end is that pty's device, not a rival.
bool FindOtherHolder(dev_t device, char* text, size_t size);

// "/sys", or the tree QUORVANE_SYSFS_ROOT names (tests make their own).
const char* SysfsRoot();

struct UsbIdentity {
    bool known;  // idVendor and idProduct were found
    unsigned vendor, product;
    char manufacturer[64];
    char productName[64];
    char serialNumber[64];
    char device[32];     // the USB device's sysfs name, its place in the bus tree: "1-1.3"
    char interface[32];  // the interface the entry is under: "1-1.3:1.0", or ""
};

// A /dev/serial/by-id name that leads to a device whose USB serial number
// another device has too (and that number into `serialNumber`).
bool ByIdNameIsShared(const char* name, char (&serialNumber)[64]);

// Walks up from a sysfs device entry (a path, links resolved) to the USB
// device it belongs to, if any.
UsbIdentity UsbIdentityOf(const char* sysfsEntry);

// The target device's own USB virtual serial port: vendor 0d5c, product 0002.
bool IsDeviceUsb(const UsbIdentity& usb);
