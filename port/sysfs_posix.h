// What sysfs tells about a USB device behind a port (internal to port/).
#pragma once

struct UsbIdentity {
    bool known;  // idVendor and idProduct were found
    unsigned vendor, product;
    char manufacturer[64];
    char productName[64];
};

// Walks up from a sysfs device entry (a path, links resolved) to the USB
// device it belongs to, if any.
UsbIdentity UsbIdentityOf(const char* sysfsEntry);

// The target device's own USB virtual serial port: vendor 0d5c, product 0002.
bool IsDeviceUsb(const UsbIdentity& usb);
