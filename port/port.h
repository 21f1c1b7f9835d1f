// Port access: turning the stored port code and baud selector into an open,
// set-up port and the job's ackMode. The rules are portable; opening the
// port and the transfer seam over it are Windows only (the last section).
#pragma once

#include <cstddef>
#include <cstdint>

#include "transfer.h"

// Bit 15 set: a parallel port (LPT), else a serial port (COM). The number
// is the code AND 0x7FFF; 0 means no port chosen and simply fails to open.
using PortCode = uint32_t;
// The identifier of the chosen baud radio button.
using BaudSelector = int32_t;

constexpr PortCode kParallelPortBit = 0x8000;
constexpr PortCode kPortNumberMask = 0x7FFF;

constexpr BaudSelector kBaud19200 = 202;
constexpr BaudSelector kBaud9600 = 203;
constexpr BaudSelector kBaud4800 = 204;
constexpr BaudSelector kBaud38400 = 205;

// "LPT32767" and "\\.\LPT32767" are the longest names a code gives.
constexpr size_t kPortNameSize = 16;
constexpr size_t kDevicePathSize = 20;

// The value names of the target device's own USB virtual serial port in
// the serial device map begin with this (compared case-insensitively).
constexpr char kDeviceUsbPrefix[] = "\\??\\USB#Vid_0d5c&Pid_0002";
constexpr size_t kDeviceUsbPrefixLength = 25;

// The size both buffers of a device-map enumeration call are reset to: a
// name or data of 256 characters or more makes the call fail.
constexpr unsigned long kDeviceMapBufferSize = 256;
constexpr unsigned long kRegistryString = 1;  // REG_SZ

bool IsParallelPort(PortCode code);

// 1 for a serial port (the device answers every frame), 0 for a parallel one.
int AckModeOfKind(PortCode code);

// "COM3", "LPT1": the name the device map uses. Always fits kPortNameSize.
void FormatPortName(PortCode code, char (&name)[kPortNameSize]);

// "\\.\COM3": what the port is opened as.
void FormatDevicePath(PortCode code, char (&path)[kDevicePathSize]);

// 202 19200, 203 9600, 204 4800, 205 38400; anything else 9600.
unsigned long BaudRateOf(BaudSelector selector);

bool HasDeviceUsbPrefix(const char* valueName);

// One value of the serial device map as an enumeration call returned it.
// `data` holds `dataSize` bytes, which need not end in a NUL.
struct DeviceMapValue {
    const char* name;
    unsigned long type;
    const char* data;
    size_t dataSize;
};

// Fetches value `index` of the device map; false when the call fails (no
// more values, or a name or data too long for the buffers).
using NextDeviceMapValue = bool (*)(void* map, unsigned long index, DeviceMapValue& value);

enum class DeviceMapMatch {
    NotListed,      // no string value names the port: a plain serial port
    SerialPort,     // the first value naming the port is an ordinary one
    DeviceUsbPort,  // the first value naming the port is the device's USB port
};

// Walks the values from index 0 until the enumeration fails; the first
// string value whose data is exactly the port name (case-sensitive) decides.
DeviceMapMatch MatchInDeviceMap(const char* portName, NextDeviceMapValue next, void* map);

// ackMode 0 for the device's USB port, which never answers; else unchanged.
int AckModeAfterLookup(int ackMode, DeviceMapMatch match);

// The serial line fields the port's set-up changes, as in the platform's DCB.
constexpr unsigned kDtrControlEnable = 1;
constexpr unsigned kRtsControlEnable = 1;
constexpr uint8_t kNoParity = 0;
constexpr uint8_t kOneStopBit = 0;

struct SerialLineFields {
    unsigned long baudRate;
    unsigned fBinary, fParity, fOutxCtsFlow, fOutxDsrFlow, fDtrControl, fDsrSensitivity,
        fTXContinueOnXoff, fOutX, fInX, fErrorChar, fNull, fRtsControl, fAbortOnError;
    uint16_t xonLim, xoffLim;
    uint8_t byteSize, parity, stopBits;
    char xonChar, xoffChar, errorChar, eofChar, evtChar;
};

// 8 data bits, no parity, one stop bit, no flow control, DTR and RTS held
// on, at the selected rate.
void SetUpSerialLine(SerialLineFields& line, BaudSelector selector);

// Milliseconds, the same for every kind of port: a one-byte read returns
// within 200 ms; a write of n bytes gives up after 10 n + 200 ms.
struct PortTimeouts {
    unsigned long readInterval, readTotalMultiplier, readTotalConstant;
    unsigned long writeTotalMultiplier, writeTotalConstant;
};
constexpr PortTimeouts kPortTimeouts = {0, 0, 200, 10, 200};

constexpr unsigned long kPortQueueSize = 256;  // input and output queues

// Port discovery: the names the port settings dialog offers. A port name is
// "COM" or "LPT" in the letter case the device map gives, then a number
// 0..65535 written canonically (COM3, lpt2; never COM03 or COM+5).
constexpr char kSerialNamePrefix[] = "COM";
constexpr char kParallelDataPrefix[] = "\\DosDevices\\LPT";  // 15 characters
constexpr size_t kDosDevicesLength = 12;                        // "\DosDevices\"

// The text after a port name's three letters: a scanf "%d" conversion whose
// low 16 bits, printed back with "%d", give exactly the same bytes.
bool IsCanonicalPortNumber(const char* text);

// The port a serial device-map value names: a string value whose data begins
// with "COM" (any case) and a canonical number; the data as stored.
bool SerialPortOfValue(const DeviceMapValue& value, char (&name)[kPortNameSize]);

// The port a parallel device-map value names: a string value whose data
// begins with "\DosDevices\LPT" (any case) and a canonical number; the data
// after "\DosDevices\" (LPT2).
bool ParallelPortOfValue(const DeviceMapValue& value, char (&name)[kPortNameSize]);

// One port a device map names.
struct MappedPort {
    const char* name;       // what the user sees and chooses: COM3, lpt2
    const char* valueName;  // the map value's name; "" for the fixed 9x names
    bool parallel;
};
using VisitMappedPort = void (*)(void* context, const MappedPort& port);

// Walks one map from index 0 until an enumeration call fails (the end, or a
// value too long for the buffers) and visits every value naming a port, in
// enumeration order. Two values naming the same port are both visited.
void CollectSerialPorts(NextDeviceMapValue next, void* map, VisitMappedPort visit, void* context);
void CollectParallelPorts(NextDeviceMapValue next, void* map, VisitMappedPort visit, void* context);

// The 9x family has no parallel map: LPT1, LPT2 and LPT3 are always offered.
void CollectFixedParallelPorts(VisitMappedPort visit, void* context);

// The port settings dialog's list entries are port names. One beginning
// with "COM" (any case) is a serial port, the only kind with a baud rate.
bool IsSerialEntry(const char* entry);

// A scanf "%d" of the entry from its fourth character (COM12 gives 12);
// 0 when there is no number.
long EntryNumber(const char* entry);

// The port code that chooses the entry: its number AND 0xFFF, with bit 15
// for a parallel port (COM3 0x0003, LPT1 0x8001, COM4099 0x0003 too).
PortCode PortCodeOfEntry(const char* entry);

// Copies list entry `index` into `entry`; false when it cannot be read.
using ReadPortEntry = bool (*)(void* list, int index, char (&entry)[kPortNameSize]);

// The entry the stored code chooses, searched from the last entry to the
// first so that a later entry wins; -1 when none does.
int FindPresetEntry(PortCode code, int count, ReadPortEntry read, void* list);

#ifdef _WIN32
#include <windows.h>

struct OpenedPort {
    HANDLE handle;  // INVALID_HANDLE_VALUE when the port could not be opened
    int ackMode;
};

// Opens the port named by the code with no sharing and sets it up: a serial
// port gets queues, line settings, timeouts and a purge; a parallel port or
// the device's USB port only the timeouts. The caller closes the handle.
OpenedPort OpenDevicePort(PortCode code, BaudSelector selector);

// Looks the port name up in HKLM\HARDWARE\DEVICEMAP\SERIALCOMM. A map that
// cannot be opened counts as NotListed.
DeviceMapMatch LookUpSerialDeviceMap(const char* portName);

// Copies the fields SetUpSerialLine knows between a DCB and back; all other
// DCB fields are kept as read.
void SetUpSerialLine(DCB& dcb, BaudSelector selector);

// Every port the machine's device maps name, serial ports first, each group
// in enumeration order. The parallel ports come from the parallel map on the
// NT family, and are LPT1..LPT3 on the 9x family (GetVersionExA decides).
void DiscoverMappedPorts(VisitMappedPort visit, void* context);

// What the port settings dialog offers: each port's name, as above.
void DiscoverPorts(void (*add)(void* context, const char* portName), void* context);

// The worker's seam over an open port handle, notifying `dialog` by
// SendMessageA. A failed read counts as no byte: the worker simply reads again.
void FillWin32Seam(TransferSeam& seam, HANDLE port, HWND dialog);
#else
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
#endif
