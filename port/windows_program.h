// The Windows program's own way to a port, exactly as it has always opened
// and listed them; only ui/ includes this header, and only the Windows
// build has it (port_win32.cpp, discover_win32.cpp).
#pragma once

#include "port.h"

struct OpenedPort {
    Port* port;  // null when the port could not be opened
    int ackMode;
};

// The Windows program's open, exactly: "\\.\COMn" or "\\.\LPTn" without
// sharing; a serial port gets queues, line settings, timeouts and a purge;
// a parallel port or the device's USB port only the timeouts. ClosePort
// then only closes the handle.
OpenedPort OpenDevicePort(PortCode code, BaudSelector selector);

// What the port settings dialog offers: each port's name, serial ports
// first, from the device maps.
void DiscoverPorts(void (*add)(void* context, const char* portName), void* context);
