// How quorvane-cli reaches a port by name on each platform: a device path on
// Linux, COMn or LPTn on Windows.
#pragma once

#include <cstddef>

#include "port.h"
#include "transfer.h"

enum class AnswerMode {
    Auto,    // like the Windows program: serial ports answer, others do not
    Ack,     // wait for ACK or NAK after every frame
    Silent,  // send frames back to back, read nothing
};

struct CliPort;  // the platform's open port

struct OpenedCliPort {
    CliPort* port;  // null when the port could not be opened
    int ackMode;
    char error[256];  // why not, in the system's words, with a hint where one helps
};

// Opens and sets up the port named `name` for one job.
OpenedCliPort OpenCliPort(const char* name, long baud, AnswerMode mode);

// Restores what opening changed and closes.
void CloseCliPort(CliPort* port);

// The worker's seam over the port; notifications go to `notify(context, ...)`.
void FillCliSeam(TransferSeam& seam, CliPort* port, void* context,
                 void (*notify)(void* context, unsigned message, long long total));

// One port this machine has, for `ports`.
struct PortListing {
    char name[64];       // what --port takes
    const char* kind;    // "serial", "parallel" or "device-usb"
    bool usb;            // vendor and product are known
    unsigned vendor, product;
    char description[128];
};

void ListCliPorts(void (*add)(void* context, const PortListing& port), void* context);

bool StderrIsTerminal();

// "COM3" -> 0x0003, "lpt1" -> 0x8001: the port codes the Windows program
// stores; false for any other name (a device path, say).
bool PortCodeOfName(const char* name, PortCode& code);

// The baud selector of a rate (4800..38400; anything else: 9600's).
BaudSelector SelectorOfBaud(long baud);

// The port and baud rate remembered between runs: the Windows program's
// settings file (on Linux the same format under ~/.config/quorvane). A port
// the port code cannot hold (a device path) is kept under "DEVICE".
struct Remembered {
    char port[256];  // empty: none remembered
    long baud;
};
Remembered LoadRemembered();
void SaveRemembered(const char* port, long baud);
