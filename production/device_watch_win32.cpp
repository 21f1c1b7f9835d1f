// The station sleeps on an event that a job's thread sets as its job ends
// and that the configuration manager sets when a device interface (a COM
// port among them) comes or goes. The notification needs no window, but
// it exists only from Windows 8 on and Wine has none, so it is looked up
// by name; the station also looks again every 100 ms, which is what finds
// ports that no device event announces (Wine's dosdevices links, a device
// map that is filled a moment after the interface arrived) and a board
// replugged within half a second.
#include <windows.h>

#include <cfgmgr32.h>

#include "production.h"

namespace {

HANDLE theWake = nullptr;
constexpr int kLongestPollMs = 100;

typedef CONFIGRET(WINAPI* RegisterNotification)(PCM_NOTIFY_FILTER, PVOID, PCM_NOTIFY_CALLBACK, PHCMNOTIFICATION);

DWORD CALLBACK OnDeviceInterface(HCMNOTIFICATION, PVOID, CM_NOTIFY_ACTION action, PCM_NOTIFY_EVENT_DATA, DWORD)
{
    if (action == CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL || action == CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL)
        SetEvent(theWake);
    return ERROR_SUCCESS;
}

// Kept for the life of the process: the station watches until it ends.
void AskForDeviceInterfaceEvents()
{
    HMODULE manager = LoadLibraryA("cfgmgr32.dll");
    FARPROC found = manager ? GetProcAddress(manager, "CM_Register_Notification") : nullptr;
    if (!found) return;
    RegisterNotification registerNotification;
    static_assert(sizeof registerNotification == sizeof found, "a function's address");
    CopyMemory(&registerNotification, &found, sizeof found);
    CM_NOTIFY_FILTER filter = {};
    filter.cbSize = sizeof filter;
    filter.Flags = CM_NOTIFY_FILTER_FLAG_ALL_INTERFACE_CLASSES;
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    HCMNOTIFICATION notification = nullptr;
    registerNotification(&filter, nullptr, OnDeviceInterface, &notification);
}

}  // namespace

void StartDeviceWatch()
{
    theWake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    AskForDeviceInterfaceEvents();
}

void WaitForDeviceChange(int ms) { WaitForSingleObject(theWake, DWORD(ms < kLongestPollMs ? ms : kLongestPollMs)); }

void WakeStation() { SetEvent(theWake); }
