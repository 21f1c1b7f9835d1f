// `ports`: the serial and parallel ports this machine has.
#include <cstdio>
#include <cstring>

#include "cli.h"

namespace {

const char kPortsHelp[] =
    "Lists the ports this machine has, one per line: serial ports, with the USB\n"
    "vendor:product, description and serial number where the device has them and\n"
    "{ports-stable-name}, and parallel ports. The target device's own USB port (0d5c:0002) is\n"
    "marked; `write --port auto` picks it when it is the only one. A USB port's\n"
    "place (usb:1-1.3, where it is plugged in) names it for --port and a\n"
    "recipe's slots whichever device is there; two devices with one USB serial\n"
    "number are marked, and their by-id names are not used.\n"
    "\n"
    "  -j, --json   a JSON array of ports instead\n"
    "  -h, --help   this text\n"
    "\n"
    "exit status: 0, or 2 for a usage error.\n";

struct Listing {
    bool json;
    int count;
    bool deviceUsb;  // the target device's own USB port is among them
};

void PrintJsonPort(const PortListing& port, bool first)
{
    std::printf("%s\n  {\"name\":", first ? "" : ",");
    PrintJsonString(stdout, port.name);
    std::printf(",\"kind\":\"%s\"", PortKindName(port.kind));
    if (port.usb) std::printf(",\"usb\":\"%04x:%04x\"", port.vendor, port.product);
    const struct {
        const char* key;
        const char* text;
    } texts[] = {{"description", port.description}, {"serial", port.serialNumber}, {kStableNameKey, port.stableName},
                 {"place", port.place}};
    for (const auto& text : texts) {
        std::printf(",\"%s\":", text.key);
        PrintJsonString(stdout, text.text);
    }
    std::printf(",\"serial_shared\":%s}", port.serialShared ? "true" : "false");
}

void PrintPort(void* context, const PortListing& port)
{
    Listing& listing = *static_cast<Listing*>(context);
    listing.deviceUsb |= port.kind == PortKind::DeviceUsb;
    if (listing.json) {
        PrintJsonPort(port, listing.count++ == 0);
        return;
    }
    ++listing.count;
    Say(stdout, "%-20s %-10s", port.name, PortKindName(port.kind));
    if (port.usb) std::printf(" %04x:%04x", port.vendor, port.product);
    if (port.description[0]) Say(stdout, " %s", port.description);
    if (port.serialNumber[0]) Say(stdout, ", serial number %s", port.serialNumber);
    if (port.serialShared) std::printf(" (another port has it too: name this one by its place)");
    if (port.place[0]) Say(stdout, ", at %s", port.place);
    if (port.kind == PortKind::DeviceUsb) std::printf("  <- the target device's own USB port");
    std::printf("\n");
    if (port.stableName[0]) Say(stdout, "%-31s %s %s\n", "", kStableNameLead, port.stableName);
}

int RunPorts(int argc, char** argv)
{
    bool json = false;
    const CommandOption rows[] = {FlagRow('j', "json", json)};
    CommandLine line;
    if (!ParseCommandLine(argc, argv, rows, line))
        return UsageError(kPortsCommand, AsksFor(argc, argv, 'j', "json"), "%s", line.error);
    if (line.help) return ShowHelp(kPortsCommand);
    if (line.operandCount > 0) return UsageError(kPortsCommand, json, "takes no FILE or other argument");
    Listing listing = {json, 0, false};
    if (json) std::printf("[");
    ListPorts(PrintPort, &listing);
    if (json) std::printf("%s]\n", listing.count ? "\n" : "");
    else if (listing.count == 0) std::printf("no ports found\n");
    const char* rule = listing.deviceUsb ? MissingDeviceRule() : nullptr;
    if (rule && !json)
        std::printf("note: %s is not installed: without it the device's port may belong to root alone, and "
                    "ModemManager may send it AT commands in the middle of a job (the Debian package installs "
                    "it)\n", rule);
    return FinishOutput("ports", kExitOk);
}

}  // namespace

const CommandInfo kPortsCommand = {"ports", "quorvane-cli ports [-j]", kPortsHelp, RunPorts};
