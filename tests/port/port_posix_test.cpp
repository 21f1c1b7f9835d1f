// The Linux port over real ptys and a sysfs tree of the test's own: the
// ports listed, the kind of an open port and its adapter's latency timer by
// its device number, and the port held for one job alone. (Whole jobs, the
// line settings put back and the ports refused are tested through
// quorvane-cli.)
#include <gtest/gtest.h>

#include <pty.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "port_posix.h"

namespace {

struct Tree {
    std::string root;
    Tree()
    {
        char pattern[] = "/tmp/quorvane-port-XXXXXX";
        root = mkdtemp(pattern);
        setenv("QUORVANE_SYSFS_ROOT", (root + "/sys").c_str(), 1);
        setenv("QUORVANE_DEV_ROOT", (root + "/dev").c_str(), 1);
    }
    ~Tree()
    {
        unsetenv("QUORVANE_SYSFS_ROOT");
        unsetenv("QUORVANE_DEV_ROOT");
        std::system(("rm -rf '" + root + "'").c_str());
    }
    void File(const std::string& path, const std::string& text) const
    {
        std::system(("mkdir -p \"$(dirname '" + root + "/" + path + "')\"").c_str());
        std::ofstream(root + "/" + path) << text << "\n";
    }
    std::string Read(const std::string& path) const
    {
        std::stringstream text;
        text << std::ifstream(root + "/" + path).rdbuf();
        return text.str();
    }
    void Link(const std::string& path, const std::string& target) const
    {
        std::system(("mkdir -p \"$(dirname '" + root + "/" + path + "')\"; ln -sfn '" + root + "/" + target + "' '" +
                     root + "/" + path + "'").c_str());
    }
};

// A UART, an empty UART slot, a console, an FTDI adapter (with its serial
// number, latency timer and by-id name), the target device's own USB port
// and a printer port.
void MakeTree(const Tree& tree)
{
    const std::string usb = "sys/devices/usb1";
    tree.File(usb + "/1-1/idVendor", "0403");
    tree.File(usb + "/1-1/idProduct", "6001");
    tree.File(usb + "/1-1/manufacturer", "FTDI");
    tree.File(usb + "/1-1/product", "FT232R USB UART");
    tree.File(usb + "/1-1/serial", "A50285BI");
    tree.File(usb + "/1-1/1-1:1.0/ttyUSB0/latency_timer", "16");
    tree.File(usb + "/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0/dev", "188:0");
    tree.File(usb + "/1-2/idVendor", "0d5c");
    tree.File(usb + "/1-2/idProduct", "0002");
    tree.File(usb + "/1-2/1-2:1.0/tty/ttyACM0/dev", "166:0");
    tree.File("sys/devices/serial8250/tty/ttyS0/type", "4");
    tree.File("sys/devices/serial8250/tty/ttyS1/type", "0");
    tree.File("sys/devices/virtual/tty/tty0/dev", "4:0");
    tree.File("sys/devices/parport/lp0/dev", "6:0");
    const char* const links[][2] = {
        {"sys/class/tty/ttyUSB0", "sys/devices/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0"},
        {"sys/class/tty/ttyUSB0/device", "sys/devices/usb1/1-1/1-1:1.0/ttyUSB0"},
        {"sys/class/tty/ttyACM0", "sys/devices/usb1/1-2/1-2:1.0/tty/ttyACM0"},
        {"sys/class/tty/ttyACM0/device", "sys/devices/usb1/1-2/1-2:1.0"},
        {"sys/class/tty/ttyS0", "sys/devices/serial8250/tty/ttyS0"},
        {"sys/class/tty/ttyS0/device", "sys/devices/serial8250"},
        {"sys/class/tty/ttyS1", "sys/devices/serial8250/tty/ttyS1"},
        {"sys/class/tty/ttyS1/device", "sys/devices/serial8250"},
        {"sys/class/tty/tty0", "sys/devices/virtual/tty/tty0"},
        {"sys/class/printer/lp0", "sys/devices/parport/lp0"},
        {"sys/class/printer/lp0/device", "sys/devices/parport"},
        {"dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "dev/ttyUSB0"},
    };
    for (const auto& link : links) tree.Link(link[0], link[1]);
}

TEST(PosixPorts, ListedWithTheirUsbIdentity)
{
    Tree tree;
    MakeTree(tree);
    std::vector<std::string> found;
    ListPorts([](void* context, const PortListing& port) {
        static_cast<std::vector<std::string>*>(context)->push_back(
            std::string(port.name + std::strlen(getenv("QUORVANE_DEV_ROOT"))) + " " + PortKindName(port.kind) + " " +
            port.description + "|" + port.serialNumber + "|" + (port.stableName[0] ? "by-id" : ""));
    }, &found);
    EXPECT_EQ(found, (std::vector<std::string>{"/ttyACM0 device-usb ||", "/ttyS0 serial ||",
                                                "/ttyUSB0 serial FTDI FT232R USB UART|A50285BI|by-id",
                                                "/lp0 parallel ||"}));
}

// The device's own port with the adapter's serial number, and two ports on
// one device (one number, two by-id names): each port named by its place,
// and the by-id name that may lead to either of two devices neither shown
// nor trusted.
TEST(PosixPorts, PlacesAndSharedSerialNumbers)
{
    Tree tree;
    MakeTree(tree);
    const std::string dual = "sys/devices/usb1/1-3";
    tree.File(dual + "/idVendor", "0403");
    tree.File(dual + "/idProduct", "6010");
    tree.File(dual + "/serial", "FT2DUAL");
    tree.File("sys/devices/usb1/1-2/serial", "A50285BI");
    tree.File("dev/ttyUSB0", "");
    for (const char* port : {"1.0/ttyUSB1", "1.1/ttyUSB2"}) {
        std::string entry = dual + "/1-3:" + port, name = entry.substr(entry.rfind('/') + 1);
        tree.File(entry + "/tty/" + name + "/dev", "188:1");
        tree.Link("sys/class/tty/" + name, entry + "/tty/" + name);
        tree.Link("sys/class/tty/" + name + "/device", entry);
        tree.File("dev/" + name, "");
    }
    tree.Link("dev/serial/by-id/usb-FTDI_Dual_FT2DUAL-if00-port0", "dev/ttyUSB1");
    std::vector<std::string> found;
    ListPorts([](void* context, const PortListing& port) {
        static_cast<std::vector<std::string>*>(context)->push_back(
            std::string(port.name + std::strlen(getenv("QUORVANE_DEV_ROOT"))) + " " + port.place + " " +
            (port.serialShared ? "shared" : "") + (port.stableName[0] ? "by-id" : ""));
    }, &found);
    EXPECT_EQ(found, (std::vector<std::string>{"/ttyACM0 usb:1-2 shared", "/ttyS0  ", "/ttyUSB0 usb:1-1 shared",
                                                "/ttyUSB1 usb:1-3:1.0 by-id", "/ttyUSB2 usb:1-3:1.1 ", "/lp0  "}));
    char path[256];
    EXPECT_TRUE(FindPortAt("usb:1-3:1.1", path, sizeof path));
    EXPECT_EQ(std::string(path), tree.root + "/dev/ttyUSB2");
    EXPECT_FALSE(FindPortAt("usb:1-3", path, sizeof path)) << "two ports there: the interface says which";
    EXPECT_TRUE(PortIsPresent("usb:1-2"));
    EXPECT_FALSE(PortIsPresent("usb:1-9"));
    char serialNumber[64];
    const std::string byId = tree.root + "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    EXPECT_TRUE(ByIdNameIsShared(byId.c_str(), serialNumber));
    EXPECT_STREQ(serialNumber, "A50285BI");
    EXPECT_FALSE(ByIdNameIsShared((tree.root + "/dev/serial/by-id/usb-FTDI_Dual_FT2DUAL-if00-port0").c_str(),
                                  serialNumber));
    PortOpening opening = OpenPort(byId.c_str(), 9600, AnswerMode::Auto);
    EXPECT_TRUE(!opening.port && std::strstr(opening.message, "the same USB serial number A50285BI")) << opening.message;
}

TEST(PosixPorts, KindAndLatencyTimerByTheOpenPortsDeviceNumber)
{
    Tree tree;
    MakeTree(tree);
    int master = -1, sender = -1;
    char name[64];
    ASSERT_EQ(openpty(&master, &sender, name, nullptr, nullptr), 0);
    struct stat status = {};
    ASSERT_EQ(stat(name, &status), 0);
    std::string device = "sys/dev/char/" + std::to_string(major(status.st_rdev)) + ":" +
                         std::to_string(minor(status.st_rdev));

    // The pty's number as the FTDI adapter's: a pty refuses TIOCSSERIAL, so
    // the latency timer is set instead, the event character to ACK, and
    // both put back on close.
    const std::string ftdi = "sys/devices/usb1/1-1/1-1:1.0/ttyUSB0";
    tree.Link(device, ftdi + "/tty/ttyUSB0");
    tree.Link(device + "/device", ftdi);
    tree.File(ftdi + "/event_char", "0");
    PortOpening opened = OpenPort(name, 38400, AnswerMode::Auto);
    ASSERT_NE(opened.port, nullptr) << opened.message;
    EXPECT_EQ(opened.kind, PortKind::Serial);
    EXPECT_STREQ(opened.latencyNote,
                 "low latency: latency timer 16 ms -> 1 ms; event character: ACK (answers passed on at once)");
    EXPECT_EQ(tree.Read(ftdi + "/latency_timer") + tree.Read(ftdi + "/event_char"), "1\n262\n");
    EXPECT_EQ(OpenPort(name, 38400, AnswerMode::Auto).error, PortError::Busy) << "a second opener is refused";
    ClosePort(opened.port);
    EXPECT_EQ(tree.Read(ftdi + "/latency_timer") + tree.Read(ftdi + "/event_char"), "16\n0\n");

    // An event character that cannot be written is said, never a failure.
    std::system(("rm '" + tree.root + "/" + ftdi + "/event_char'; mkdir '" + tree.root + "/" + ftdi + "/event_char'").c_str());
    opened = OpenPort(name, 38400, AnswerMode::Auto);
    ASSERT_NE(opened.port, nullptr) << opened.message;
    EXPECT_STREQ(opened.latencyNote,
                 "low latency: latency timer 16 ms -> 1 ms; event character: not set (Is a directory)");
    ClosePort(opened.port);

    // The same number as the target device's own USB port: no answers.
    tree.Link(device, "sys/devices/usb1/1-2/1-2:1.0/tty/ttyACM0");
    opened = OpenPort(name, 9600, AnswerMode::Auto);
    ASSERT_NE(opened.port, nullptr) << opened.message << " (the port is free again after a close)";
    EXPECT_EQ(opened.kind, PortKind::DeviceUsb);
    EXPECT_EQ(opened.ackMode, 0);
    ClosePort(opened.port);
    close(master);
    close(sender);
}

}  // namespace
