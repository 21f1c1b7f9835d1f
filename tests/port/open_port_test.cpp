// Opens a port the way a write job does and reports what came of it, for
// the test runner that maps the port to a pseudo-terminal:
//   open_port_test CODE SELECTOR [NAME=DATA ...]
// CODE is hex. Each NAME=DATA is added to the serial device map first (and
// removed afterwards); they must enumerate in the order given. Prints
//   opened=1 ackMode=1 timeouts=0/0/200/10/200 pending=none
// where pending is the first byte the port still held after opening (hex),
// or "opened=0". Exit status 0 when it could report, 1 otherwise.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "port_win32.h"

namespace {

const char kSerialDeviceMap[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

struct MapValue {
    std::string name;
    std::string data;
};

bool ParseValue(const char* argument, MapValue& value)
{
    const char* equals = strrchr(argument, '=');
    if (!equals) return false;
    value.name.assign(argument, equals);
    value.data.assign(equals + 1);
    return true;
}

bool AddValues(const std::vector<MapValue>& values)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSerialDeviceMap, 0, nullptr, REG_OPTION_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        printf("cannot open the serial device map for writing\n");
        return false;
    }
    bool ok = true;
    for (const MapValue& value : values) {
        LONG status = RegSetValueExA(key, value.name.c_str(), 0, REG_SZ,
                                     reinterpret_cast<const BYTE*>(value.data.c_str()),
                                     DWORD(value.data.size() + 1));
        if (status != ERROR_SUCCESS) {
            printf("cannot add %s: %ld\n", value.name.c_str(), long(status));
            ok = false;
        }
    }
    RegCloseKey(key);
    return ok;
}

void RemoveValues(const std::vector<MapValue>& values)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialDeviceMap, 0, KEY_ALL_ACCESS, &key) !=
        ERROR_SUCCESS)
        return;
    for (const MapValue& value : values) RegDeleteValueA(key, value.name.c_str());
    RegCloseKey(key);
}

// The test's own enumeration, with buffers large enough for every value:
// the added values must come in the order given, or the case proves nothing.
bool ValuesEnumerateInOrder(const std::vector<MapValue>& values)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialDeviceMap, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return values.empty();
    size_t next = 0;
    static char name[32768];
    for (DWORD index = 0; next < values.size(); ++index) {
        DWORD nameSize = sizeof name;
        if (RegEnumValueA(key, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        if (values[next].name == name) ++next;
    }
    RegCloseKey(key);
    if (next < values.size())
        printf("the device map does not list the added values in the order given\n");
    return next == values.size();
}

void Report(const OpenedPort& opened)
{
    if (!opened.port) {
        printf("opened=0\n");
        return;
    }
    COMMTIMEOUTS timeouts = {};
    GetCommTimeouts(opened.port->handle, &timeouts);
    char pending[8] = "none";
    unsigned char byte = 0;
    DWORD read = 0;
    if (ReadFile(opened.port->handle, &byte, 1, &read, nullptr) && read == 1)
        snprintf(pending, sizeof pending, "%02X", byte);
    printf("opened=1 ackMode=%d timeouts=%lu/%lu/%lu/%lu/%lu pending=%s\n", opened.ackMode,
           timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
           timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
           timeouts.WriteTotalTimeoutConstant, pending);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: open_port_test CODE SELECTOR [NAME=DATA ...]\n");
        return 1;
    }
    PortCode code = PortCode(strtoul(argv[1], nullptr, 16));
    BaudSelector selector = BaudSelector(strtol(argv[2], nullptr, 10));
    std::vector<MapValue> values;
    for (int i = 3; i < argc; ++i) {
        MapValue value;
        if (!ParseValue(argv[i], value)) {
            fprintf(stderr, "not NAME=DATA: %s\n", argv[i]);
            return 1;
        }
        values.push_back(value);
    }
    bool ready = AddValues(values) && ValuesEnumerateInOrder(values);
    if (ready) {
        OpenedPort opened = OpenDevicePort(code, selector);
        Report(opened);
        if (opened.port) ClosePort(opened.port);
    }
    RemoveValues(values);
    fflush(stdout);
    return ready ? 0 : 1;
}
