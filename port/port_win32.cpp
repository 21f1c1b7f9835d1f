// Opening and setting up a port on Windows, and the transfer worker's seam
// over the open handle.
#include <cstdio>
#include <cstring>

#include "port_win32.h"
#include "windows_program.h"

namespace {

void SetPortTimeouts(HANDLE port)
{
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = kPortTimeouts.readInterval;
    timeouts.ReadTotalTimeoutMultiplier = kPortTimeouts.readTotalMultiplier;
    timeouts.ReadTotalTimeoutConstant = kPortTimeouts.readTotalConstant;
    timeouts.WriteTotalTimeoutMultiplier = kPortTimeouts.writeTotalMultiplier;
    timeouts.WriteTotalTimeoutConstant = kPortTimeouts.writeTotalConstant;
    SetCommTimeouts(port, &timeouts);
}

// 8 data bits, no parity, one stop bit, no flow control, DTR and RTS held
// on, at `baud`; every field not named here stays as read.
void SetUpSerialLine(DCB& dcb, unsigned long baud)
{
    dcb.BaudRate = baud;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
    dcb.XonLim = 0;
    dcb.XoffLim = 0;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0;
    dcb.XoffChar = 0;
    dcb.ErrorChar = 0;
    dcb.EofChar = 0;
    dcb.EvtChar = 0;
}

// Results are not looked at: a port that refuses its settings is still used.
void SetUpSerialPort(HANDLE port, unsigned long baud)
{
    SetupComm(port, kPortQueueSize, kPortQueueSize);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    GetCommState(port, &dcb);
    SetUpSerialLine(dcb, baud);
    SetCommState(port, &dcb);
    SetPortTimeouts(port);
    PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

// A serial port gets the whole set-up; a parallel port and the device's
// USB port only the timeouts.
void SetUpPort(HANDLE port, PortKind kind, unsigned long baud)
{
    if (kind == PortKind::Serial)
        SetUpSerialPort(port, baud);
    else
        SetPortTimeouts(port);
}

// Looks the port name up in HKLM\HARDWARE\DEVICEMAP\SERIALCOMM; a map that
// cannot be opened leaves it a plain serial port.
PortKind KindOfPortCode(PortCode code)
{
    if (IsParallelPort(code)) return PortKind::Parallel;
    char name[kPortNameSize];
    FormatPortName(code, name);
    DeviceMapCursor cursor = {};
    if (!OpenDeviceMap(kSerialDeviceMapKey, cursor)) return PortKind::Serial;
    PortKind kind = KindInDeviceMap(name, NextDeviceMapValueOf, &cursor);
    CloseDeviceMap(cursor);
    return kind;
}

// "\\.\COMn" or "\\.\LPTn", with no sharing; null when it cannot be opened.
Port* OpenPortHandle(PortCode code)
{
    char path[kDevicePathSize];
    FormatDevicePath(code, path);
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    Port* port = new Port{};
    port->handle = handle;
    return port;
}

void KeepSettingsFound(Port& port)
{
    port.restore = true;
    port.savedState.DCBlength = sizeof port.savedState;
    port.hadState = GetCommState(port.handle, &port.savedState) != 0;
    port.hadTimeouts = GetCommTimeouts(port.handle, &port.savedTimeouts) != 0;
}

void FormatJobLockName(PortCode code, char (&lockName)[64])
{
    char name[kPortNameSize];
    FormatPortName(code, name);
    std::snprintf(lockName, sizeof lockName, "Local\\quorvane-port-%s", name);
}

void FailWithLastError(PortOpening& opening, const char* name)
{
    DWORD error = GetLastError();
    char reason[160] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, reason,
                   sizeof reason, nullptr);
    reason[std::strcspn(reason, "\r\n")] = '\0';
    char text[200];
    // Windows refuses a port that another program holds as access denied.
    if (error == ERROR_ACCESS_DENIED) {
        std::snprintf(text, sizeof text, "port busy or access denied (%s)", reason);
        FormatOpenError(opening, name, PortError::Busy, text);
        return;
    }
    bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    std::snprintf(text, sizeof text, "%s (error %lu)%s", reason, (unsigned long)error,
                  missing ? "; `quorvane-cli ports` lists the ports there are" : "");
    FormatOpenError(opening, name, missing ? PortError::NotFound : PortError::Other, text);
}

Port& PortOf(void* context) { return *static_cast<Port*>(context); }

long WritePort(void* context, const uint8_t* bytes, size_t count)
{
    // Only the count that went out matters; a short write is retried.
    DWORD written = 0;
    WriteFile(PortOf(context).handle, bytes, DWORD(count), &written, nullptr);
    return long(written);
}

ReadResult ReadPortByte(void* context, uint8_t* byte)
{
    DWORD read = 0;
    BOOL ok = ReadFile(PortOf(context).handle, byte, 1, &read, nullptr);
    return ok && read == 1 ? ReadResult::Byte : ReadResult::Nothing;
}

void PauseAfterShortWrite(void*) { Sleep(kShortWritePauseMs); }

// The performance counter: monotonic, 64 bits, and present on every Windows
// the program runs on (GetTickCount64 is not on the 9x family or XP).
unsigned long long TickMs(void*)
{
    LARGE_INTEGER frequency, count;
    if (!QueryPerformanceFrequency(&frequency) || !QueryPerformanceCounter(&count)) return GetTickCount();
    return (unsigned long long)(count.QuadPart / (frequency.QuadPart / 1000 ? frequency.QuadPart / 1000 : 1));
}

}  // namespace

bool OpenDeviceMap(const char* key, DeviceMapCursor& cursor)
{
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &cursor.key) == ERROR_SUCCESS;
}

void CloseDeviceMap(DeviceMapCursor& cursor) { RegCloseKey(cursor.key); }

bool NextDeviceMapValueOf(void* map, unsigned long index, DeviceMapValue& value)
{
    DeviceMapCursor& cursor = *static_cast<DeviceMapCursor*>(map);
    // Both sizes are in-out: reset before every call, or a short value
    // would shrink the buffers for the ones after it.
    DWORD nameSize = kDeviceMapBufferSize;
    DWORD dataSize = kDeviceMapBufferSize;
    DWORD type = 0;
    LONG status = RegEnumValueA(cursor.key, index, cursor.name, &nameSize, nullptr, &type,
                                cursor.data, &dataSize);
    if (status != ERROR_SUCCESS) return false;
    value.name = cursor.name;
    value.type = type;
    value.data = reinterpret_cast<const char*>(cursor.data);
    value.dataSize = dataSize;
    return true;
}

HANDLE TakeJobLock(PortCode code, bool& busy)
{
    char lockName[64];
    FormatJobLockName(code, lockName);
    busy = false;
    HANDLE lock = CreateMutexA(nullptr, FALSE, lockName);
    if (!lock) return nullptr;
    // An abandoned lock (its job's process died) is taken over.
    DWORD taken = WaitForSingleObject(lock, 0);
    if (taken == WAIT_OBJECT_0 || taken == WAIT_ABANDONED) return lock;
    CloseHandle(lock);
    busy = true;
    return nullptr;
}

void ReleaseJobLock(HANDLE lock)
{
    ReleaseMutex(lock);
    CloseHandle(lock);
}

bool JobLockIsHeld(PortCode code)
{
    char lockName[64];
    FormatJobLockName(code, lockName);
    // The mutex lasts only while a job (or, for a moment, a job refused as
    // busy) has a handle to it: that it exists says a job has the port. Its
    // owner is not asked: waiting would take it when this thread owns it.
    HANDLE lock = OpenMutexA(SYNCHRONIZE, FALSE, lockName);
    if (!lock) return false;
    CloseHandle(lock);
    return true;
}

OpenedPort OpenDevicePort(PortCode code, BaudSelector selector)
{
    Port* port = OpenPortHandle(code);
    if (!port) return {nullptr, 0};
    PortKind kind = KindOfPortCode(code);
    SetUpPort(port->handle, kind, BaudRateOf(selector));
    return {port, AckModeFor(AnswerMode::Auto, kind)};
}

PortOpening OpenPort(const char* name, unsigned long baud, AnswerMode mode)
{
    PortOpening opening = {};
    PortCode code = 0;
    if (!PortCodeOfName(name, code)) {
        FormatOpenError(opening, name, PortError::BadName, "a port is COMn or LPTn");
        return opening;
    }
    // The lock first: a second job never touches a port a first one has.
    bool busy = false;
    HANDLE lock = TakeJobLock(code, busy);
    if (busy) {
        FormatOpenError(opening, name, PortError::Busy, "port busy (another quorvane-cli job has it)");
        return opening;
    }
    Port* port = OpenPortHandle(code);
    if (!port) {
        FailWithLastError(opening, name);
        if (lock) ReleaseJobLock(lock);
        return opening;
    }
    port->jobLock = lock;
    KeepSettingsFound(*port);
    opening.kind = KindOfPortCode(code);
    SetUpPort(port->handle, opening.kind, baud);
    opening.lineBytesPerSecond = opening.kind == PortKind::Serial ? baud / 10 : 0;
    opening.port = port;
    opening.ackMode = AckModeFor(mode, opening.kind);
    return opening;
}

bool NamesAPort(const char* name, char* why, size_t size)
{
    PortCode code = 0;
    if (PortCodeOfName(name, code)) return true;
    std::snprintf(why, size, "is not a port name: a port is COMn or LPTn");
    return false;
}

void ClosePort(Port* port)
{
    if (port->restore && port->hadState) SetCommState(port->handle, &port->savedState);
    if (port->restore && port->hadTimeouts) SetCommTimeouts(port->handle, &port->savedTimeouts);
    CloseHandle(port->handle);
    if (port->jobLock) ReleaseJobLock(port->jobLock);
    delete port;
}

void FillPortSeam(TransferSeam& seam, Port* port)
{
    seam.port = port;
    seam.write = WritePort;
    seam.readByte = ReadPortByte;
    seam.pause = PauseAfterShortWrite;
    seam.nowMs = TickMs;
}
