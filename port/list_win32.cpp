// The ports this Windows machine has, as quorvane-cli lists them: the device
// maps' ports, each with what the device installer (SetupAPI) knows of it:
// the USB vendor:product, a description, the USB serial number and the
// location it is plugged in at. A file of its own, so that the Windows
// program, which lists ports from the device maps alone, imports no
// setupapi.dll.
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "port_win32.h"

namespace {

// GUID_DEVCLASS_PORTS: serial and parallel ports (devguid.h would need a
// library of GUIDs for it).
const GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// How far above the port its USB device may be: the port itself (usbser),
// an interface of a composite device, FTDI's bus driver.
constexpr int kAncestorsLookedAt = 3;

// A device, as the installer's list holds the port itself, or by its node
// alone for the devices above it.
struct Node {
    HDEVINFO devices;
    SP_DEVINFO_DATA* device;  // null above the port
    DEVINST node;
};

// An SPDRP_ property of the device as text; of a multi-string, the first string.
bool NodeText(const Node& node, DWORD property, char* text, size_t size)
{
    ULONG length = ULONG(size - 1);
    bool read = node.device ? SetupDiGetDeviceRegistryPropertyA(node.devices, node.device, property, nullptr,
                                                                 reinterpret_cast<BYTE*>(text), length, nullptr)
                            // The node's numbering of the same properties is one higher.
                            : CM_Get_DevNode_Registry_PropertyA(node.node, property + 1, nullptr, text, &length, 0) ==
                                  CR_SUCCESS;
    text[read ? size - 1 : 0] = '\0';
    return text[0] != '\0';
}

bool NodeInstanceId(DEVINST node, char* text, size_t size)
{
    return CM_Get_Device_IDA(node, text, ULONG(size), 0) == CR_SUCCESS && text[0];
}

// "PortName" in the device's own registry key: COM5, LPT1.
bool PortNameOf(HDEVINFO devices, SP_DEVINFO_DATA& device, char (&name)[64])
{
    HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return false;
    DWORD type = 0, size = sizeof name - 1;
    LONG result = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    name[size < sizeof name ? size : sizeof name - 1] = '\0';
    return result == ERROR_SUCCESS && type == REG_SZ && (IsSerialEntry(name) || StartsWithIgnoringCase(name, "LPT"));
}

// The vendor, product, serial number and location of the USB device at or
// above the port: the nearest device that says each.
void FindUsbDetails(Node node, PortListing& port)
{
    for (int level = 0; level <= kAncestorsLookedAt; ++level) {
        char text[512];
        if (!port.usb && NodeText(node, SPDRP_HARDWAREID, text, sizeof text))
            port.usb = UsbIdsOfDeviceName(text, port.vendor, port.product);
        if (NodeInstanceId(node.node, text, sizeof text)) {
            if (!port.usb) port.usb = UsbIdsOfDeviceName(text, port.vendor, port.product);
            if (!port.serialNumber[0]) UsbSerialOfDeviceName(text, port.serialNumber, sizeof port.serialNumber);
        }
        // The location path names the hub ports all the way down, and
        // stays when the device is plugged in again at the same place.
        if (!port.stableName[0] && !NodeText(node, SPDRP_LOCATION_PATHS, port.stableName, sizeof port.stableName))
            NodeText(node, SPDRP_LOCATION_INFORMATION, port.stableName, sizeof port.stableName);
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, node.node, 0) != CR_SUCCESS) return;
        node = {node.devices, nullptr, parent};
    }
}

// Every present port of the Ports class that names itself.
std::vector<PortListing> InstalledPorts()
{
    std::vector<PortListing> found;
    HDEVINFO devices = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) return found;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        PortListing port = {};
        if (!PortNameOf(devices, device, port.name)) continue;
        port.kind = IsSerialEntry(port.name) ? PortKind::Serial : PortKind::Parallel;
        Node self = {devices, &device, device.DevInst};
        char friendly[128];
        if (NodeText(self, SPDRP_FRIENDLYNAME, friendly, sizeof friendly))
            DescriptionOfFriendlyName(friendly, port.name, port.description, sizeof port.description);
        FindUsbDetails(self, port);
        found.push_back(port);
    }
    SetupDiDestroyDeviceInfoList(devices);
    return found;
}

struct Listing {
    std::vector<PortListing> installed;
    std::vector<bool> listed;
    void (*add)(void* context, const PortListing& port);
    void* context;
};

void AddMappedPort(void* context, const MappedPort& mapped)
{
    Listing& listing = *static_cast<Listing*>(context);
    PortListing port = {};
    for (size_t i = 0; i < listing.installed.size(); ++i) {
        if (listing.listed[i] || !EqualIgnoringCase(listing.installed[i].name, mapped.name, sizeof port.name)) continue;
        port = listing.installed[i];
        listing.listed[i] = true;
        break;
    }
    std::snprintf(port.name, sizeof port.name, "%s", mapped.name);
    // The kind the port is opened as: the device map decides it there too.
    port.kind = mapped.parallel                        ? PortKind::Parallel
                : HasDeviceUsbPrefix(mapped.valueName) ? PortKind::DeviceUsb
                                                       : PortKind::Serial;
    if (!port.usb) port.usb = UsbIdsOfDeviceName(mapped.valueName, port.vendor, port.product);
    if (!port.serialNumber[0]) UsbSerialOfDeviceName(mapped.valueName, port.serialNumber, sizeof port.serialNumber);
    listing.add(listing.context, port);
}

}  // namespace

// The ports the Windows program's port settings dialog offers, in the same
// order, then the installer's ports no map names yet.
void ListPorts(void (*add)(void* context, const PortListing& port), void* context)
{
    Listing listing = {InstalledPorts(), {}, add, context};
    listing.listed.assign(listing.installed.size(), false);
    DiscoverMappedPorts(AddMappedPort, &listing);
    for (size_t i = 0; i < listing.installed.size(); ++i)
        if (!listing.listed[i]) add(context, listing.installed[i]);
}
