// Finding ports on Linux through sysfs. The root is a parameter so tests can
// point it at a tree of their own.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

#include <vector>

#include "port_posix.h"

namespace {

// "directory/name" into `path`; false when it does not fit.
bool JoinPath(char (&path)[PATH_MAX], const char* directory, const char* name)
{
    int length = std::snprintf(path, sizeof path, "%s/%s", directory, name);
    return length > 0 && size_t(length) < sizeof path;
}

// The first line of a small sysfs file, without its line end; false if absent.
bool ReadSysfsText(const char* directory, const char* file, char* text, size_t size)
{
    char path[PATH_MAX];
    if (!JoinPath(path, directory, file)) return false;
    FILE* stream = std::fopen(path, "r");
    if (!stream) return false;
    bool ok = std::fgets(text, int(size), stream) != nullptr;
    std::fclose(stream);
    if (ok) text[std::strcspn(text, "\r\n")] = '\0';
    return ok;
}

bool ReadHexFile(const char* directory, const char* file, unsigned& value)
{
    char text[16];
    if (!ReadSysfsText(directory, file, text, sizeof text)) return false;
    char* end = nullptr;
    value = unsigned(std::strtoul(text, &end, 16));
    return end != text;
}

bool Exists(const char* directory, const char* file)
{
    char path[PATH_MAX];
    return JoinPath(path, directory, file) && access(path, F_OK) == 0;
}

// A serial8250 entry with no UART behind it says so with type 0.
bool HasNoUart(const char* entry)
{
    char type[16];
    return ReadSysfsText(entry, "type", type, sizeof type) && std::strcmp(type, "0") == 0;
}

bool DevicePath(PortListing& port, const char* devRoot, const char* name)
{
    int length = std::snprintf(port.name, sizeof port.name, "%s/%s", devRoot, name);
    return length > 0 && size_t(length) < sizeof port.name;
}

// The link in DEV/serial/by-id that names the device `name` (its target's
// last part), as udev makes them for USB serial devices.
void FindStableName(const char* devRoot, const char* name, PortListing& port)
{
    char folder[PATH_MAX];
    if (!JoinPath(folder, devRoot, "serial/by-id")) return;
    dirent** names = nullptr;
    int count = scandir(folder, &names, nullptr, alphasort);
    for (int i = 0; i < count; ++i) {
        char link[PATH_MAX], target[PATH_MAX];
        ssize_t length = -1;
        if (!port.stableName[0] && JoinPath(link, folder, names[i]->d_name))
            length = readlink(link, target, sizeof target - 1);
        if (length > 0) {
            target[length] = '\0';
            const char* slash = std::strrchr(target, '/');
            if (std::strcmp(slash ? slash + 1 : target, name) == 0 && std::strlen(link) < sizeof port.stableName)
                std::memcpy(port.stableName, link, std::strlen(link) + 1);
        }
        std::free(names[i]);
    }
    std::free(names);
}

void Describe(const UsbIdentity& usb, PortListing& port)
{
    std::memcpy(port.serialNumber, usb.serialNumber, sizeof port.serialNumber);
    port.usb = usb.known;
    port.vendor = usb.vendor;
    port.product = usb.product;
    const char* separator = usb.manufacturer[0] && usb.productName[0] ? " " : "";
    // Truncating a long description is harmless.
    if (std::snprintf(port.description, sizeof port.description, "%s%s%s", usb.manufacturer, separator,
                      usb.productName) < 0)
        port.description[0] = '\0';
}

// Calls `visit` for every entry of a sysfs class folder, in name order.
template <typename Visit>
void ForEachClassEntry(const char* sysRoot, const char* className, Visit visit)
{
    char classes[PATH_MAX], folder[PATH_MAX];
    if (!JoinPath(classes, sysRoot, "class") || !JoinPath(folder, classes, className)) return;
    dirent** names = nullptr;
    int count = scandir(folder, &names, nullptr, alphasort);
    for (int i = 0; i < count; ++i) {
        if (names[i]->d_name[0] != '.') {
            char entry[PATH_MAX];
            if (JoinPath(entry, folder, names[i]->d_name)) visit(entry, names[i]->d_name);
        }
        std::free(names[i]);
    }
    std::free(names);
}

// "usb:DEVICE", or "usb:DEVICE:INTERFACE" where the device has several ttys.
void NamePlace(const std::vector<UsbIdentity>& identities, size_t index, PortListing& port)
{
    const UsbIdentity& usb = identities[index];
    if (!usb.device[0]) return;
    int onDevice = 0;
    for (const UsbIdentity& other : identities) onDevice += std::strcmp(other.device, usb.device) == 0;
    const char* interface = std::strchr(usb.interface, ':');
    if (onDevice > 1 && interface)
        std::snprintf(port.place, sizeof port.place, "usb:%s%s", usb.device, interface);
    else
        std::snprintf(port.place, sizeof port.place, "usb:%s", usb.device);
}

// udev gives two devices with one serial number one by-id name, which leads
// to whichever came last: a name not to be trusted.
// (The ports of one device with several share its number, and their by-id
// names differ by interface.)
void MarkSharedSerial(const std::vector<UsbIdentity>& identities, std::vector<PortListing>& ttys, size_t index)
{
    PortListing& port = ttys[index];
    for (size_t other = 0; other < ttys.size() && port.serialNumber[0]; ++other)
        if (std::strcmp(identities[other].device, identities[index].device) != 0 &&
            std::strcmp(ttys[other].serialNumber, port.serialNumber) == 0)
            port.serialShared = true;
    if (port.serialShared) port.stableName[0] = '\0';
}

}  // namespace

bool FindPortAt(const char* place, char* path, size_t size)
{
    struct Search {
        const char* place;
        char* path;
        size_t size;
        bool found;
    } search = {place, path, size, false};
    ListPorts([](void* context, const PortListing& port) {
        Search& looking = *static_cast<Search*>(context);
        if (looking.found || std::strcmp(port.place, looking.place) != 0) return;
        looking.found = std::snprintf(looking.path, looking.size, "%s", port.name) < int(looking.size);
    }, &search);
    return search.found;
}

bool ByIdNameIsShared(const char* name, char (&serialNumber)[64])
{
    struct Search {
        char device[PATH_MAX];
        char* serialNumber;
        bool shared;
    } search = {};
    search.serialNumber = serialNumber;
    if (!std::strstr(name, "/serial/by-id/") || !realpath(name, search.device)) return false;
    ListPorts([](void* context, const PortListing& port) {
        Search& looking = *static_cast<Search*>(context);
        char device[PATH_MAX];
        if (!port.serialShared || !realpath(port.name, device) || std::strcmp(device, looking.device) != 0) return;
        looking.shared = true;
        std::memcpy(looking.serialNumber, port.serialNumber, sizeof port.serialNumber);
    }, &search);
    return search.shared;
}

const char* SysfsRoot()
{
    const char* root = std::getenv("QUORVANE_SYSFS_ROOT");
    return root && *root ? root : "/sys";
}

UsbIdentity UsbIdentityOf(const char* sysfsEntry)
{
    UsbIdentity usb = {};
    char directory[PATH_MAX];
    if (!realpath(sysfsEntry, directory)) return usb;
    for (;;) {
        const char* slash = std::strrchr(directory, '/');
        if (ReadHexFile(directory, "idVendor", usb.vendor) && ReadHexFile(directory, "idProduct", usb.product)) {
            usb.known = true;
            ReadSysfsText(directory, "manufacturer", usb.manufacturer, sizeof usb.manufacturer);
            ReadSysfsText(directory, "product", usb.productName, sizeof usb.productName);
            ReadSysfsText(directory, "serial", usb.serialNumber, sizeof usb.serialNumber);
            if (slash && std::strlen(slash + 1) < sizeof usb.device) std::strcpy(usb.device, slash + 1);
            return usb;
        }
        if (!slash || slash == directory) return usb;
        // The entry just below the USB device is its interface: "1-1.3:1.0".
        if (std::strchr(slash + 1, ':') && std::strlen(slash + 1) < sizeof usb.interface)
            std::strcpy(usb.interface, slash + 1);
        *const_cast<char*>(slash) = '\0';
    }
}

bool IsDeviceUsb(const UsbIdentity& usb)
{
    return usb.known && usb.vendor == kDeviceUsbVendor && usb.product == kDeviceUsbProduct;
}

void ListPorts(void (*add)(void* context, const PortListing& port), void* context)
{
    const char* sysRoot = SysfsRoot();
    const char* devRoot = std::getenv("QUORVANE_DEV_ROOT");
    if (!devRoot || !*devRoot) devRoot = "/dev";
    std::vector<PortListing> ttys;
    std::vector<UsbIdentity> identities;
    ForEachClassEntry(sysRoot, "tty", [&](const char* entry, const char* name) {
        // Consoles and ptys have no device behind them.
        if (!Exists(entry, "device") || HasNoUart(entry)) return;
        PortListing port = {};
        if (!DevicePath(port, devRoot, name)) return;
        UsbIdentity usb = UsbIdentityOf(entry);
        port.kind = IsDeviceUsb(usb) ? PortKind::DeviceUsb : PortKind::Serial;
        Describe(usb, port);
        FindStableName(devRoot, name, port);
        ttys.push_back(port);
        identities.push_back(usb);
    });
    for (size_t i = 0; i < ttys.size(); ++i) {
        NamePlace(identities, i, ttys[i]);
        MarkSharedSerial(identities, ttys, i);
        add(context, ttys[i]);
    }
    ForEachClassEntry(sysRoot, "printer", [&](const char* entry, const char* name) {
        if (std::strncmp(name, "lp", 2) != 0 || !Exists(entry, "device")) return;
        PortListing port = {};
        if (!DevicePath(port, devRoot, name)) return;
        port.kind = PortKind::Parallel;
        add(context, port);
    });
}

const char* MissingDeviceRule()
{
    static const char* const kPlaces[] = {"/usr/lib/udev/rules.d/60-quorvane.rules",
                                          "/lib/udev/rules.d/60-quorvane.rules", "/etc/udev/rules.d/60-quorvane.rules"};
    for (const char* place : kPlaces)
        if (access(place, F_OK) == 0) return nullptr;
    return kPlaces[0];
}
