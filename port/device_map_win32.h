// The registry device maps under HKLM\HARDWARE\DEVICEMAP, read by the port
// lookup and by port discovery. Inside port/ only.
#pragma once

#include "port.h"

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
