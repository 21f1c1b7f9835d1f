// The plain rules behind port access, the same on every platform: device
// paths, the device-map lookup, discovery's naming rules, the answer mode
// and the open-error texts. Inside port/ (and its tests) only.
#pragma once

#include <cstddef>

#include "port.h"

bool IsParallelPort(PortCode code);

// "\\.\COM3": what the Windows program opens.
constexpr size_t kDevicePathSize = 20;
void FormatDevicePath(PortCode code, char (&path)[kDevicePathSize]);

// The value names of the target device's own USB virtual serial port in
// the serial device map begin with this (compared case-insensitively).
constexpr char kDeviceUsbPrefix[] = "\\??\\USB#Vid_0d5c&Pid_0002";
constexpr unsigned kDeviceUsbVendor = 0x0d5c;
constexpr unsigned kDeviceUsbProduct = 0x0002;

bool HasDeviceUsbPrefix(const char* valueName);

// The size both buffers of a device-map enumeration call are reset to: a
// name or data of 256 characters or more makes the call fail.
constexpr unsigned long kDeviceMapBufferSize = 256;
constexpr unsigned long kRegistryString = 1;  // REG_SZ

// One value of a device map as an enumeration call returned it. `data`
// holds `dataSize` bytes, which need not end in a NUL.
struct DeviceMapValue {
    const char* name;
    unsigned long type;
    const char* data;
    size_t dataSize;
};

// Fetches value `index` of the device map; false when the call fails (no
// more values, or a name or data too long for the buffers).
using NextDeviceMapValue = bool (*)(void* map, unsigned long index, DeviceMapValue& value);

// The kind of a serial port by the serial device map: walks the values from
// index 0 until the enumeration fails; the first string value whose data is
// exactly the port name (case-sensitive) decides, DeviceUsb when its name
// has the device's USB prefix. Serial when no value names the port.
PortKind KindInDeviceMap(const char* portName, NextDeviceMapValue next, void* map);

// 1 where the device answers every frame: the mode, or in Auto the kind.
int AckModeFor(AnswerMode mode, PortKind kind);

// Milliseconds, the same for every kind of port: a one-byte read returns
// within 200 ms; a write of n bytes gives up after 10 n + 200 ms.
struct PortTimeouts {
    unsigned long readInterval, readTotalMultiplier, readTotalConstant;
    unsigned long writeTotalMultiplier, writeTotalConstant;
};
constexpr PortTimeouts kPortTimeouts = {0, 0, 200, 10, 200};
constexpr unsigned long kPortQueueSize = 256;  // input and output queues
constexpr unsigned long kShortWritePauseMs = 100;

// "cannot open NAME: REASON" for `error` into `opening`, and, where it
// helps, what to do about it; "NAME REASON" for what is not a port.
void FormatOpenError(PortOpening& opening, const char* name, PortError error, const char* reason);

// ---- discovery ----------------------------------------------------------

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

// A scanf "%d" of the entry from its fourth character (COM12 gives 12);
// 0 when there is no number.
long EntryNumber(const char* entry);

// ---- what Windows' device installer says of a port -------------------------

// The USB vendor and product a hardware id, device instance id or device-map
// name carries, in any case: "USB\VID_0D5C&PID_0002&REV_0100",
// "USB\VID_0D5C&PID_0002\QV0042", "\??\USB#Vid_0d5c&Pid_0002#QV0042#{...}",
// FTDI's "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000". False when it has none.
bool UsbIdsOfDeviceName(const char* name, unsigned& vendor, unsigned& product);

// The USB serial number an instance id or device-map name carries after its
// vendor and product ("QV0042"; FTDI's "A50285BI", its channel letter
// dropped), into `serial`; "" where the device has none, so that Windows made
// the part up from where it is plugged in ("7&1a2b3c4d&0&2"), or where the
// name is a hardware id or an interface's ("...&MI_00\...").
void UsbSerialOfDeviceName(const char* name, char* serial, size_t size);

// A friendly name without the port name Windows adds to it:
// "USB Serial Device (COM5)" -> "USB Serial Device".
void DescriptionOfFriendlyName(const char* friendlyName, const char* portName, char* description, size_t size);
