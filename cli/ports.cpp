// `ports`: the serial and parallel ports this machine has.
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "cli_port.h"
#include "json.h"

namespace {

const char kPortsUsage[] =
    "usage: quorvane-cli ports [--json]\n"
    "\n"
    "Lists the ports this machine has, one per line: serial ports (with the USB\n"
    "vendor:product and description where there are any; the target device's own\n"
    "USB port is marked) and parallel ports. --json prints a JSON array instead.\n";

struct Listing {
    bool json;
    int count;
};

void PrintPort(void* context, const PortListing& port)
{
    Listing& listing = *static_cast<Listing*>(context);
    if (listing.json) {
        std::printf("%s\n  {\"name\":", listing.count ? "," : "");
        PrintJsonString(stdout, port.name);
        std::printf(",\"kind\":\"%s\"", port.kind);
        if (port.usb) std::printf(",\"usb\":\"%04x:%04x\"", port.vendor, port.product);
        std::printf(",\"description\":");
        PrintJsonString(stdout, port.description);
        std::printf("}");
    } else {
        std::printf("%-20s %-10s", port.name, port.kind);
        if (port.usb) std::printf(" %04x:%04x", port.vendor, port.product);
        if (port.description[0]) std::printf(" %s", port.description);
        if (std::strcmp(port.kind, "device-usb") == 0) std::printf("  <- the target device's own USB port");
        std::printf("\n");
    }
    ++listing.count;
}

}  // namespace

int RunPortsCommand(int argc, char** argv)
{
    Listing listing = {false, 0};
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kPortsUsage, stdout);
            return kExitOk;
        }
        if (std::strcmp(argv[i], "--json") != 0) {
            std::fprintf(stderr, "quorvane-cli ports: unknown argument '%s'\n\n%s", argv[i], kPortsUsage);
            return kExitUsage;
        }
        listing.json = true;
    }
    if (listing.json) std::printf("[");
    ListCliPorts(PrintPort, &listing);
    if (listing.json) std::printf("%s]\n", listing.count ? "\n" : "");
    else if (listing.count == 0) std::printf("no ports found\n");
    return kExitOk;
}
