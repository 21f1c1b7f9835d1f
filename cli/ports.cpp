// `ports`: the serial and parallel ports this machine has.
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "port.h"

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
        std::printf(",\"kind\":\"%s\"", PortKindName(port.kind));
        if (port.usb) std::printf(",\"usb\":\"%04x:%04x\"", port.vendor, port.product);
        std::printf(",\"description\":");
        PrintJsonString(stdout, port.description);
        std::printf("}");
    } else {
        Say(stdout, "%-20s %-10s", port.name, PortKindName(port.kind));
        if (port.usb) std::printf(" %04x:%04x", port.vendor, port.product);
        if (port.description[0]) Say(stdout, " %s", port.description);
        if (port.kind == PortKind::DeviceUsb) std::printf("  <- the target device's own USB port");
        std::printf("\n");
    }
    ++listing.count;
}

const CommandOption kPortsOptions[] = {{"help", 0, false}, {"json", 0, false}};

}  // namespace

int RunPortsCommand(int argc, char** argv)
{
    bool flags[2] = {false, false};
    CommandLine line;
    if (!ParseCommandLine(argc, argv, kPortsOptions, TakeFlag, flags, line) || line.operandCount > 0) {
        const char* why = line.error[0] ? line.error : "takes no arguments";
        std::fprintf(stderr, "quorvane-cli ports: %s\n\n%s", why, kPortsUsage);
        return kExitUsage;
    }
    if (flags[0]) {
        std::fputs(kPortsUsage, stdout);
        return kExitOk;
    }
    Listing listing = {flags[1], 0};
    if (listing.json) std::printf("[");
    ListPorts(PrintPort, &listing);
    if (listing.json) std::printf("%s]\n", listing.count ? "\n" : "");
    else if (listing.count == 0) std::printf("no ports found\n");
    return FinishOutput("ports", kExitOk);
}
