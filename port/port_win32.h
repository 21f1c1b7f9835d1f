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
