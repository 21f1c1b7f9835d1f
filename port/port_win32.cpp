// Opening and setting up the port on Windows, and the transfer worker's
// seam over the open handle.
#include "device_map_win32.h"
#include "port.h"

static_assert(kDtrControlEnable == DTR_CONTROL_ENABLE, "DTR control value");
static_assert(kRtsControlEnable == RTS_CONTROL_ENABLE, "RTS control value");
static_assert(kNoParity == NOPARITY && kOneStopBit == ONESTOPBIT, "line format values");
static_assert(kRegistryString == REG_SZ, "string value type");

namespace {

SerialLineFields FieldsOf(const DCB& dcb)
{
    SerialLineFields line = {};
    line.baudRate = dcb.BaudRate;
    line.fBinary = dcb.fBinary;
    line.fParity = dcb.fParity;
    line.fOutxCtsFlow = dcb.fOutxCtsFlow;
    line.fOutxDsrFlow = dcb.fOutxDsrFlow;
    line.fDtrControl = dcb.fDtrControl;
    line.fDsrSensitivity = dcb.fDsrSensitivity;
    line.fTXContinueOnXoff = dcb.fTXContinueOnXoff;
    line.fOutX = dcb.fOutX;
    line.fInX = dcb.fInX;
    line.fErrorChar = dcb.fErrorChar;
    line.fNull = dcb.fNull;
    line.fRtsControl = dcb.fRtsControl;
    line.fAbortOnError = dcb.fAbortOnError;
    line.xonLim = dcb.XonLim;
    line.xoffLim = dcb.XoffLim;
    line.byteSize = dcb.ByteSize;
    line.parity = dcb.Parity;
    line.stopBits = dcb.StopBits;
    line.xonChar = dcb.XonChar;
    line.xoffChar = dcb.XoffChar;
    line.errorChar = dcb.ErrorChar;
    line.eofChar = dcb.EofChar;
    line.evtChar = dcb.EvtChar;
    return line;
}

void StoreFields(const SerialLineFields& line, DCB& dcb)
{
    dcb.BaudRate = line.baudRate;
    dcb.fBinary = line.fBinary;
    dcb.fParity = line.fParity;
    dcb.fOutxCtsFlow = line.fOutxCtsFlow;
    dcb.fOutxDsrFlow = line.fOutxDsrFlow;
    dcb.fDtrControl = line.fDtrControl;
    dcb.fDsrSensitivity = line.fDsrSensitivity;
    dcb.fTXContinueOnXoff = line.fTXContinueOnXoff;
    dcb.fOutX = line.fOutX;
    dcb.fInX = line.fInX;
    dcb.fErrorChar = line.fErrorChar;
    dcb.fNull = line.fNull;
    dcb.fRtsControl = line.fRtsControl;
    dcb.fAbortOnError = line.fAbortOnError;
    dcb.XonLim = line.xonLim;
    dcb.XoffLim = line.xoffLim;
    dcb.ByteSize = line.byteSize;
    dcb.Parity = line.parity;
    dcb.StopBits = line.stopBits;
    dcb.XonChar = line.xonChar;
    dcb.XoffChar = line.xoffChar;
    dcb.ErrorChar = line.errorChar;
    dcb.EofChar = line.eofChar;
    dcb.EvtChar = line.evtChar;
}

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

// Results are not looked at: a port that refuses its settings is still used.
void SetUpSerialPort(HANDLE port, BaudSelector selector)
{
    SetupComm(port, kPortQueueSize, kPortQueueSize);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    GetCommState(port, &dcb);
    SetUpSerialLine(dcb, selector);
    SetCommState(port, &dcb);
    SetPortTimeouts(port);
    PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

long WritePort(void* port, const uint8_t* bytes, size_t count)
{
    // Only the count that went out matters; a short write is retried.
    DWORD written = 0;
    WriteFile(static_cast<HANDLE>(port), bytes, DWORD(count), &written, nullptr);
    return long(written);
}

ReadResult ReadPortByte(void* port, uint8_t* byte)
{
    DWORD read = 0;
    BOOL ok = ReadFile(static_cast<HANDLE>(port), byte, 1, &read, nullptr);
    return ok && read == 1 ? ReadResult::Byte : ReadResult::Nothing;
}

void PauseAfterShortWrite(void*) { Sleep(100); }

void NotifyDialog(void* dialog, unsigned message, long long total)
{
    SendMessageA(static_cast<HWND>(dialog), message, 0, LPARAM(total));
}

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

DeviceMapMatch LookUpSerialDeviceMap(const char* portName)
{
    DeviceMapCursor cursor = {};
    if (!OpenDeviceMap(kSerialDeviceMapKey, cursor)) return DeviceMapMatch::NotListed;
    DeviceMapMatch match = MatchInDeviceMap(portName, NextDeviceMapValueOf, &cursor);
    CloseDeviceMap(cursor);
    return match;
}

void SetUpSerialLine(DCB& dcb, BaudSelector selector)
{
    SerialLineFields line = FieldsOf(dcb);
    SetUpSerialLine(line, selector);
    StoreFields(line, dcb);
}

OpenedPort OpenDevicePort(PortCode code, BaudSelector selector)
{
    OpenedPort opened = {INVALID_HANDLE_VALUE, AckModeOfKind(code)};
    char path[kDevicePathSize];
    FormatDevicePath(code, path);
    opened.handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                0, nullptr);
    if (opened.handle == INVALID_HANDLE_VALUE) return opened;

    if (opened.ackMode == 1) {
        char name[kPortNameSize];
        FormatPortName(code, name);
        opened.ackMode = AckModeAfterLookup(opened.ackMode, LookUpSerialDeviceMap(name));
    }
    if (opened.ackMode == 1)
        SetUpSerialPort(opened.handle, selector);
    else
        SetPortTimeouts(opened.handle);
    return opened;
}

void FillWin32Seam(TransferSeam& seam, HANDLE port, HWND dialog)
{
    seam.port = port;
    seam.dialog = dialog;
    seam.write = WritePort;
    seam.readByte = ReadPortByte;
    seam.pause = PauseAfterShortWrite;
    seam.notify = NotifyDialog;
    seam.nowMs = TickMs;
}
