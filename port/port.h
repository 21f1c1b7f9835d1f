// Port access for both front ends: opening a port by name for one job and
// closing it again with everything put back, the worker's seam over it, the
// ports this machine has, and the port codes the Windows program stores.
// Portable: termios, DCB and registry details live in the platform files.
#pragma once

#include <cstddef>
#include <cstdint>

#include "conversions.h"
#include "transfer.h"

// The chosen port. Bit 15 set: a parallel port (LPT), else a serial port
// (COM); bits 0 to 11 the port number as chosen; 0: no port chosen.
using PortCode = uint32_t;

// The identifier of the chosen baud radio button: 202 19200, 203 9600,
// 204 4800, 205 38400 baud; any other value opens the line at 9600.
using BaudSelector = uint32_t;

constexpr BaudSelector kBaud19200 = 202;
constexpr BaudSelector kBaud9600 = 203;
constexpr BaudSelector kBaud4800 = 204;
constexpr BaudSelector kBaud38400 = 205;
constexpr BaudSelector kFirstBaudSelector = kBaud19200;
constexpr BaudSelector kLastBaudSelector = kBaud38400;
constexpr BaudSelector kDefaultBaudSelector = kBaud9600;

// 19200, 9600, 4800 or 38400 for the four selectors; 9600 for any other.
unsigned long BaudRateOf(BaudSelector selector);

// The selector of a rate the table holds; kDefaultBaudSelector otherwise.
BaudSelector SelectorOfBaud(unsigned long rate);

// One of the table's rates from its decimal text ("38400"); 0 otherwise.
unsigned long ParseBaudRate(const char* text);

// "4800, 9600, 19200 or 38400": the table's rates, for messages.
extern const char kBaudRateList[];

constexpr PortCode kParallelPortBit = 0x8000;
constexpr PortCode kPortNumberMask = 0x7FFF;

// "LPT32767" is the longest name a port code gives.
constexpr size_t kPortNameSize = 16;

// "COM3", "LPT1": the name the device map uses for the code.
void FormatPortName(PortCode code, char (&name)[kPortNameSize]);

// "COM3" -> 0x0003, "lpt1" -> 0x8001: the code of a port name whose number
// a port code can hold (1..4095); false for any other name (a device path).
bool PortCodeOfName(const char* name, PortCode& code);

// ---- the port settings dialog's list entries --------------------------------

// An entry beginning with "COM" (any case) is a serial port, the only kind
// with a baud rate.
bool IsSerialEntry(const char* entry);

// The port code that chooses the entry: its number AND 0xFFF, with bit 15
// for a parallel port (COM3 0x0003, LPT1 0x8001, COM4099 0x0003 too).
PortCode PortCodeOfEntry(const char* entry);

// Copies list entry `index` into `entry`; false when it cannot be read.
using ReadPortEntry = bool (*)(void* list, int index, char (&entry)[kPortNameSize]);

// The entry the stored code chooses, searched from the last entry to the
// first so that a later entry wins; -1 when none does.
int FindPresetEntry(PortCode code, int count, ReadPortEntry read, void* list);

// ---- opening a port for one job ---------------------------------------------

enum class AnswerMode {
    Auto,    // like the Windows program: serial ports answer, others do not
    Ack,     // wait for ACK or NAK after every frame
    Silent,  // send frames back to back, read nothing
};

enum class PortKind {
    Serial,     // the device answers every frame
    DeviceUsb,  // the target device's own USB virtual serial port: never answers
    Parallel,   // a printer port: never answers
};

// "serial", "device-usb", "parallel"
const char* PortKindName(PortKind kind);

enum class PortError {
    None,
    BadName,       // not a name of a port on this platform
    NotFound,      // no such device
    NotAPort,      // a regular file, a FIFO, /dev/null...: never written to
    Busy,          // another program has it
    AccessDenied,  // the user may not open it
    Other,         // anything else the system refused
};

struct Port;  // an open port; the platform's own

struct PortOpening {
    Port* port;          // null when the port could not be opened
    int ackMode;         // 1: the device answers every frame
    PortKind kind;
    PortError error;
    char message[320];   // what was attempted and why not, when port is null
    // Another program that has the same device open, "ModemManager (PID
    // 812)", where the system shows one: it may take the device's answers.
    char otherHolder[96];
    // What was done to make the adapter pass answers on at once, or why it
    // could not be ("" where there was nothing to do): never a failure.
    char latencyNote[160];
    // The line settings as read back, where they are not what was asked
    // ("the adapter did not take 38400 baud: ..."); "" when they are.
    char lineNote[160];
    // Bytes a second the line carries; 0 where the port takes them as fast as
    // they come (a pty, a parallel or the device's own USB port).
    unsigned long lineBytesPerSecond;
};

// Opens the port named `name` (a device path on Linux, COMn or LPTn on
// Windows) for this job alone and sets it up as the Windows program does:
// a serial line at `baud`, 8N1, no flow control, the port's timeouts.
// Only a serial port (a tty) or a parallel printer port is opened: anything
// else is refused before it is opened for writing.
PortOpening OpenPort(const char* name, unsigned long baud, AnswerMode mode);

// Whether `name` can name a port at all, decided without opening it; false
// with what it names instead ("is a regular file, not a serial or parallel
// port") in `why`.
bool NamesAPort(const char* name, char* why, size_t size);

// Puts back everything opening changed, and closes.
void ClosePort(Port* port);

// The worker's seam over the port: write, readByte, pause and nowMs with
// the port as their context. The front end adds frontEnd and notify.
void FillPortSeam(TransferSeam& seam, Port* port);

// ---- the ports this machine has ---------------------------------------------

struct PortListing {
    char name[64];         // what OpenPort takes
    PortKind kind;
    bool usb;              // vendor and product are known
    unsigned vendor, product;
    char description[128]; // manufacturer and product, where the device says
    char serialNumber[64]; // the USB device's, where it has one
    char stableName[192];  // a name that survives replugging (/dev/serial/by-id/...), or ""
    // Where it is plugged in, as --port takes it: "usb:1-1.3" (the USB
    // device's place in the bus tree, as /dev/serial/by-path shows it), with
    // the interface added ("usb:1-1.3:1.1") where the device has several
    // ports; "" where the system does not tell.
    char place[48];
    // Another port has the same USB serial number (many adapters share one):
    // a by-id name may lead to either, so it is not shown, and not opened.
    bool serialShared;
};

// The port `name` is there now (a device path exists; a COM or LPT port is
// in the device map; something is plugged in at a place), without opening it.
bool PortIsPresent(const char* name);

// "usb:...": a port named by where it is plugged in.
bool IsPlaceName(const char* name);

// The device path of the port plugged in at `place` now; false when there
// is none.
bool FindPortAt(const char* place, char* path, size_t size);

// Where the system names a rule that gives the target device's own USB
// port to the dialout group and keeps modem managers off it, the file of
// that rule when it is not installed; null when it is, or where the system
// needs none.
const char* MissingDeviceRule();

// ---- a fixture's signal ---------------------------------------------------------

// A modem status line a test fixture may raise when a new board is in
// place behind a port that stays (a UART, an RS-232 line).
enum class ModemLine { Dsr, Cts, Dcd };

// The line's name ("DSR", "CTS", "DCD") and back; false for another name.
const char* ModemLineName(ModemLine line);
bool ParseModemLine(const char* name, ModemLine& line);

// Watches one modem status line of the port `name`, between its jobs:
//   LineWatch* watch = WatchModemLine(name, line, failure);  // null: why in failure
//   ... ModemLineRose(watch) at each look ...
//   StopWatchingModemLine(watch);   // before a job opens the port again
// A rise is seen though it was over before the next look, where the
// system counts the line's changes (Linux); else by the line's level at
// each look (Windows).
struct LineWatch;
LineWatch* WatchModemLine(const char* name, ModemLine line, Failure& failure);
bool ModemLineRose(LineWatch* watch);
void StopWatchingModemLine(LineWatch* watch);

// Every serial and parallel port found, without opening any.
void ListPorts(void (*add)(void* context, const PortListing& port), void* context);
