// Finding the ports this Windows machine has, from its registry device maps;
// nothing is opened.
#include "device_map_win32.h"
#include "port.h"

// The size GetVersionExA is given: the plain structure, which every Windows
// of both families accepts.
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA size");

namespace {

using CollectFromMap = void (*)(NextDeviceMapValue next, void* map, VisitMappedPort visit, void* context);

// A map that cannot be opened contributes no ports.
void CollectFromDeviceMap(const char* key, CollectFromMap collect, VisitMappedPort visit, void* context)
{
    DeviceMapCursor cursor = {};
    if (!OpenDeviceMap(key, cursor)) return;
    collect(NextDeviceMapValueOf, &cursor, visit, context);
    CloseDeviceMap(cursor);
}

// The 9x family has no parallel device map. Should the call fail, the map
// is read: every system that still runs the program has one.
bool HasParallelDeviceMap()
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = 148;
    if (!GetVersionExA(&version)) return true;
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

struct NameTarget {
    void (*add)(void* context, const char* portName);
    void* context;
};

void AddName(void* raw, const MappedPort& port)
{
    const NameTarget& target = *static_cast<const NameTarget*>(raw);
    target.add(target.context, port.name);
}

}  // namespace

void DiscoverMappedPorts(VisitMappedPort visit, void* context)
{
    // The serial map is read on every platform, the 9x family included.
    CollectFromDeviceMap(kSerialDeviceMapKey, CollectSerialPorts, visit, context);
    if (HasParallelDeviceMap())
        CollectFromDeviceMap(kParallelDeviceMapKey, CollectParallelPorts, visit, context);
    else
        CollectFixedParallelPorts(visit, context);
}

void DiscoverPorts(void (*add)(void* context, const char* portName), void* context)
{
    NameTarget target = {add, context};
    DiscoverMappedPorts(AddName, &target);
}
