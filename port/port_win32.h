// What port/ keeps of a Windows port, and the registry device maps under
// HKLM\HARDWARE\DEVICEMAP that the port lookup and discovery read. Inside
// port/ (and its tests) only.
#pragma once

#include <windows.h>

#include "port_rules.h"

static_assert(kRegistryString == REG_SZ, "string value type");

// Owned by the job's front end; the worker uses it only through the seam.
struct Port {
    HANDLE handle;
    HANDLE jobLock;               // the command line's job: the port's named mutex, owned; else null
    bool restore;                 // the command line's job: put the settings found back on close
    bool hadState, hadTimeouts;   // the settings found could be read
    DCB savedState;
    COMMTIMEOUTS savedTimeouts;
};

// One enumeration of one map: the key is opened and closed around it.
struct DeviceMapCursor {
    HKEY key;
    char name[kDeviceMapBufferSize];
    BYTE data[kDeviceMapBufferSize];
};

constexpr char kSerialDeviceMapKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr char kParallelDeviceMapKey[] = "HARDWARE\\DEVICEMAP\\PARALLEL PORTS";

// Opens the map's key under HKEY_LOCAL_MACHINE for reading; false when it cannot.
bool OpenDeviceMap(const char* key, DeviceMapCursor& cursor);

void CloseDeviceMap(DeviceMapCursor& cursor);

// A NextDeviceMapValue over an open cursor: RegEnumValueA with both buffer
// sizes reset to 256 bytes before every call.
bool NextDeviceMapValueOf(void* cursor, unsigned long index, DeviceMapValue& value);

// Every port the machine's device maps name, serial ports first, each group
// in enumeration order. The parallel ports come from the parallel map on the
// NT family, and are LPT1..LPT3 on the 9x family (GetVersionExA decides).
void DiscoverMappedPorts(VisitMappedPort visit, void* context);

// ---- one job per port, across processes --------------------------------------

// The named mutex "Local\quorvane-port-COM5" that a command-line job owns
// while it has the port, so that a second one is refused as busy even where
// the system lets a second exclusive open through (Wine does). Null, with
// `busy` set, when another job has it; null without when it cannot be made.
HANDLE TakeJobLock(PortCode code, bool& busy);

// Owned and released on the same thread: the thread that opened the port.
void ReleaseJobLock(HANDLE lock);

// A command-line job, of this process or another, has the port now.
bool JobLockIsHeld(PortCode code);
