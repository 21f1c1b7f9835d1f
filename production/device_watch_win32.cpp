// Windows gives this front end no device event it can wait on without a
// window, so the station looks again often: a board replugged within half
// a second must be seen gone and back.
#include <windows.h>

#include "production.h"

namespace {

HANDLE theWake = nullptr;
constexpr int kLongestPollMs = 100;

}  // namespace

void StartDeviceWatch() { theWake = CreateEventA(nullptr, FALSE, FALSE, nullptr); }

void WaitForDeviceChange(int ms) { WaitForSingleObject(theWake, DWORD(ms < kLongestPollMs ? ms : kLongestPollMs)); }

void WakeStation() { SetEvent(theWake); }
