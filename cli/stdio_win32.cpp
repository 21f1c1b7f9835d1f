#include <windows.h>

#include <csignal>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include "cli.h"

void SetBinaryStdin() { _setmode(_fileno(stdin), _O_BINARY); }

void SetBinaryStdout() { _setmode(_fileno(stdout), _O_BINARY); }

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

void CatchStopSignals(void (*stop)(int))
{
    for (int signal : {SIGINT, SIGTERM, SIGBREAK}) std::signal(signal, stop);
}

// Ports are COMn and LPTn there: never a file.
bool IsSameFile(const char*, const char*) { return false; }

void HostName(char* name, size_t size)
{
    DWORD length = DWORD(size);
    if (!GetComputerNameA(name, &length) && size) name[0] = '\0';
}

// An open file cannot be removed there.
bool FileWasRemoved(FILE*) { return false; }

namespace {

HANDLE theWake = nullptr;

}  // namespace

// The serial device map is read again at every wake-up: there is no event
// for it, so the station looks once a second.
void StartDeviceWatch() { theWake = CreateEventA(nullptr, FALSE, FALSE, nullptr); }

void WaitForDeviceChange(int) { WaitForSingleObject(theWake, 1000); }

void WakeStation() { SetEvent(theWake); }
