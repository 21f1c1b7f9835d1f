// TEMPORARY until the port branch lands
#pragma once
#include "transfer.h"
constexpr struct { unsigned long readInterval, readTotalMultiplier, readTotalConstant, writeTotalMultiplier, writeTotalConstant; } kPortTimeouts = {0, 0, 200, 10, 200};


#include <termios.h>

// A port opened by its device path: a tty (serial, USB serial, a pty) or
// another character device (a parallel printer port).
struct PosixPort {
    int fd;               // -1 once closed
    bool isTerminal;      // its line settings were changed and are put back on close
    termios saved;        // the settings found on opening
};

enum class PosixPortKind {
    Serial,     // a tty: the device answers every frame
    DeviceUsb,  // the target device's own USB port (vendor:product 0d5c:0002): never answers
    Parallel,   // not a tty (a printer port): never answers
};

// Opens `path` for this job alone (no controlling terminal; a second opener
// gets EBUSY) and puts a tty in raw mode, so no byte is changed on the way.
// Returns 0, or the errno of the step that failed.
int OpenPosixPort(const char* path, PosixPort& port);

// What kind of port is open, from the device's sysfs entry under `sysRoot`
// (normally "/sys"): not a tty → Parallel; a tty of USB device 0d5c:0002 →
// DeviceUsb; any other tty → Serial.
PosixPortKind KindOfPosixPort(const char* sysRoot, const PosixPort& port);

// A serial line's set-up: 8N1 at `baud` without flow control, DTR and RTS
// held on (a pty refuses that harmlessly), both directions flushed.
// Returns 0, or the errno of the step that failed.
int SetUpPosixLine(PosixPort& port, unsigned long baud);

// Waits (bounded) for queued output to leave, restores the line settings
// found on opening, and closes.
void ClosePosixPort(PosixPort& port);

// The worker's seam over an open port: writes give up after 10 ms per byte
// plus 200 ms, a one-byte read waits at most 200 ms, and a port that hangs
// up or fails reads and writes as lost.
void FillPosixSeam(TransferSeam& seam, PosixPort& port, void* dialog,
                   void (*notify)(void* dialog, unsigned message, long long total));

// One port found on this machine.
struct FoundPort {
    char path[64];          // /dev/ttyUSB0, /dev/lp0
    PosixPortKind kind;
    bool usb;               // vendor and product below are known
    unsigned vendor, product;
    char description[128];  // manufacturer and product, where the device says
};

// Lists the serial ports (real UARTs, USB serial, ACM) and parallel ports
// that sysfs under `sysRoot` (normally "/sys") shows, device paths under
// `devRoot` (normally "/dev").
void DiscoverPosixPorts(const char* sysRoot, const char* devRoot,
                        void (*add)(void* context, const FoundPort& port), void* context);

