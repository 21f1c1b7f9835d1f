// The serial device map is read again at every wake-up: there is no event
// for it, so the station looks once a second.
#include <windows.h>

#include "production.h"

namespace {

HANDLE theWake = nullptr;

}  // namespace

void StartDeviceWatch() { theWake = CreateEventA(nullptr, FALSE, FALSE, nullptr); }

void WaitForDeviceChange(int) { WaitForSingleObject(theWake, 1000); }

void WakeStation() { SetEvent(theWake); }
