// Finding the ports this Windows machine has from its registry device maps
// (the Windows program's port dialog; whether a port is there); nothing is
// opened to list them.
#include <cstdio>

#include "port_win32.h"
#include "windows_program.h"

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

template <typename Target>
void Visit(void* target, const MappedPort& port)
{
    (*static_cast<Target*>(target))(port);
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
    auto addName = [&](const MappedPort& port) { add(context, port.name); };
    DiscoverMappedPorts(Visit<decltype(addName)>, &addName);
}

namespace {

bool IsInDeviceMap(const char* name)
{
    struct Search {
        const char* name;
        bool found;
    } search = {name, false};
    DiscoverMappedPorts([](void* context, const MappedPort& port) {
        Search& looking = *static_cast<Search*>(context);
        looking.found = looking.found || EqualIgnoringCase(port.name, looking.name, kPortNameSize);
    }, &search);
    return search.found;
}

// Opening fails as missing only where nothing is: a port another program
// holds is there.
bool OpensOrIsHeld(PortCode code)
{
    char path[kDevicePathSize];
    FormatDevicePath(code, path);
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return true;
    }
    DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

}  // namespace

// A port is there when a job has it, when a device map lists it (no open
// needed: Windows takes a port out of the map as its device goes), or when
// it opens although no map lists it (Wine's dosdevices links).
bool PortIsPresent(const char* name)
{
    PortCode code = 0;
    if (PortCodeOfName(name, code) && JobLockIsHeld(code)) return true;
    return IsInDeviceMap(name) || (PortCodeOfName(name, code) && OpensOrIsHeld(code));
}

// Windows gives a USB serial port to every user, and has no modem manager
// that would open it.
const char* MissingDeviceRule() { return nullptr; }

// Windows names no place a port is plugged in as --port takes it: a place
// finds nothing here.
bool FindPortAt(const char*, char*, size_t) { return false; }
