// The Linux port layer over real ptys, and port discovery over a sysfs tree
// made by the test.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "port_posix.h"

namespace {

// A pty pair; the test plays the device on `master`.
struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;
    Pty()
    {
        char name[64];
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0) path = name;
    }
    ~Pty()
    {
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
    }
};

// A scratch folder, removed with everything in it.
struct Scratch {
    std::string root;
    Scratch()
    {
        char pattern[] = "/tmp/quorvane-port-XXXXXX";
        root = mkdtemp(pattern);
    }
    ~Scratch() { std::system(("rm -rf '" + root + "'").c_str()); }
    void File(const std::string& path, const std::string& text) const
    {
        std::system(("mkdir -p \"$(dirname '" + root + "/" + path + "')\"").c_str());
        std::ofstream(root + "/" + path) << text << "\n";
    }
    void Link(const std::string& path, const std::string& target) const
    {
        std::system(("mkdir -p \"$(dirname '" + root + "/" + path + "')\"").c_str());
        EXPECT_EQ(symlink((root + "/" + target).c_str(), (root + "/" + path).c_str()), 0) << path;
    }
};

// A sysfs tree with a UART, an empty UART slot, a console, an FTDI adapter,
// the target device's own USB port and a printer port.
void MakeSysfs(const Scratch& sys)
{
    const std::string usb = "devices/pci0000:00/usb1";
    sys.File(usb + "/1-1/idVendor", "0403");
    sys.File(usb + "/1-1/idProduct", "6001");
    sys.File(usb + "/1-1/manufacturer", "FTDI");
    sys.File(usb + "/1-1/product", "FT232R USB UART");
    sys.File(usb + "/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0/dev", "188:0");
    sys.File(usb + "/1-2/idVendor", "0d5c");
    sys.File(usb + "/1-2/idProduct", "0002");
    sys.File(usb + "/1-2/1-2:1.0/tty/ttyACM0/dev", "166:0");
    sys.File("devices/platform/serial8250/tty/ttyS0/type", "4");
    sys.File("devices/platform/serial8250/tty/ttyS1/type", "0");
    sys.File("devices/virtual/tty/tty0/dev", "4:0");
    sys.File("devices/platform/parport/lp0/dev", "6:0");

    sys.Link("class/tty/ttyUSB0", usb + "/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0");
    sys.Link("class/tty/ttyUSB0/device", usb + "/1-1/1-1:1.0/ttyUSB0");
    sys.Link("class/tty/ttyACM0", usb + "/1-2/1-2:1.0/tty/ttyACM0");
    sys.Link("class/tty/ttyACM0/device", usb + "/1-2/1-2:1.0");
    sys.Link("class/tty/ttyS0", "devices/platform/serial8250/tty/ttyS0");
    sys.Link("class/tty/ttyS0/device", "devices/platform/serial8250");
    sys.Link("class/tty/ttyS1", "devices/platform/serial8250/tty/ttyS1");
    sys.Link("class/tty/ttyS1/device", "devices/platform/serial8250");
    sys.Link("class/tty/tty0", "devices/virtual/tty/tty0");
    sys.Link("class/printer/lp0", "devices/platform/parport/lp0");
    sys.Link("class/printer/lp0/device", "devices/platform/parport");
}

std::vector<PortListing> Discover(const std::string& sysRoot)
{
    setenv("QUORVANE_SYSFS_ROOT", sysRoot.c_str(), 1);
    std::vector<PortListing> found;
    ListPorts([](void* context, const PortListing& port) {
        static_cast<std::vector<PortListing>*>(context)->push_back(port);
    }, &found);
    unsetenv("QUORVANE_SYSFS_ROOT");
    return found;
}

TEST(PosixDiscovery, ListsRealPortsWithTheirUsbIdentity)
{
    Scratch sys;
    MakeSysfs(sys);
    std::vector<PortListing> found = Discover(sys.root);
    ASSERT_EQ(found.size(), 4u);
    EXPECT_STREQ(found[0].name, "/dev/ttyACM0");
    EXPECT_EQ(found[0].kind, PortKind::DeviceUsb);
    EXPECT_EQ(found[0].vendor, 0x0d5cu);
    EXPECT_STREQ(found[1].name, "/dev/ttyS0");
    EXPECT_EQ(found[1].kind, PortKind::Serial);
    EXPECT_FALSE(found[1].usb);
    EXPECT_STREQ(found[2].name, "/dev/ttyUSB0");
    EXPECT_EQ(found[2].kind, PortKind::Serial);
    EXPECT_TRUE(found[2].usb);
    EXPECT_EQ(found[2].product, 0x6001u);
    EXPECT_STREQ(found[2].description, "FTDI FT232R USB UART");
    EXPECT_STREQ(found[3].name, "/dev/lp0");
    EXPECT_EQ(found[3].kind, PortKind::Parallel);
}

TEST(PosixDiscovery, NoSysfsNoPorts)
{
    EXPECT_TRUE(Discover("/nonexistent-sysfs-root").empty());
}

TEST(PosixPortKind, FromTheDeviceNumberOfTheOpenPort)
{
    Scratch sys;
    MakeSysfs(sys);
    setenv("QUORVANE_SYSFS_ROOT", sys.root.c_str(), 1);
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    PortOpening opened = OpenPort(pty.path.c_str(), 9600, AnswerMode::Auto);
    ASSERT_NE(opened.port, nullptr) << opened.message;
    EXPECT_EQ(opened.kind, PortKind::Serial);
    EXPECT_EQ(opened.ackMode, 1);

    // The same device number, now belonging to the target's USB port.
    struct stat status = {};
    ASSERT_EQ(fstat(opened.port->fd, &status), 0);
    ClosePort(opened.port);
    sys.Link("dev/char/" + std::to_string(major(status.st_rdev)) + ":" + std::to_string(minor(status.st_rdev)),
             "devices/pci0000:00/usb1/1-2/1-2:1.0/tty/ttyACM0");
    opened = OpenPort(pty.path.c_str(), 9600, AnswerMode::Auto);
    ASSERT_NE(opened.port, nullptr) << opened.message;
    EXPECT_EQ(opened.kind, PortKind::DeviceUsb);
    EXPECT_EQ(opened.ackMode, 0);
    ClosePort(opened.port);
    unsetenv("QUORVANE_SYSFS_ROOT");

    PortOpening notATty = OpenPort("/dev/null", 9600, AnswerMode::Auto);
    EXPECT_EQ(notATty.port, nullptr);
    EXPECT_EQ(notATty.error, PortError::NotAPort);
}

TEST(PosixPort, OpensExclusivelyAndRestoresTheLineOnClose)
{
    Pty pty;
    termios before = {};
    ASSERT_EQ(tcgetattr(pty.slave, &before), 0);
    cfsetospeed(&before, B1200);
    cfsetispeed(&before, B1200);
    before.c_lflag |= ICANON;
    before.c_oflag |= OPOST | ONLCR;
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &before), 0);

    PortOpening opened = OpenPort(pty.path.c_str(), 38400, AnswerMode::Auto);
    ASSERT_NE(opened.port, nullptr) << opened.message;
    PortOpening second = OpenPort(pty.path.c_str(), 38400, AnswerMode::Auto);
    EXPECT_EQ(second.port, nullptr);
    EXPECT_EQ(second.error, PortError::Busy);

    termios during = {};
    ASSERT_EQ(tcgetattr(pty.slave, &during), 0);
    EXPECT_EQ(cfgetospeed(&during), speed_t(B38400));
    EXPECT_EQ(during.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(during.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(during.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(during.c_oflag & OPOST, 0u) << "output processing would turn LF into CR LF";
    EXPECT_EQ(during.c_lflag & ICANON, 0u);

    ClosePort(opened.port);
    termios after = {};
    ASSERT_EQ(tcgetattr(pty.slave, &after), 0);
    EXPECT_EQ(cfgetospeed(&after), speed_t(B1200));
    EXPECT_NE(after.c_lflag & ICANON, 0u);
    EXPECT_NE(after.c_oflag & OPOST, 0u);

    second = OpenPort(pty.path.c_str(), 38400, AnswerMode::Auto);
    EXPECT_NE(second.port, nullptr) << "the port is free again";
    if (second.port) ClosePort(second.port);
}

TEST(PosixSeam, BytesPassUnchangedAndAHangUpIsLost)
{
    Pty pty;
    PortOpening opened = OpenPort(pty.path.c_str(), 9600, AnswerMode::Auto);
    ASSERT_NE(opened.port, nullptr) << opened.message;
    termios raw = {};
    tcgetattr(pty.master, &raw);
    cfmakeraw(&raw);
    tcsetattr(pty.master, TCSANOW, &raw);
    TransferSeam seam = {};
    FillPortSeam(seam, opened.port);
    const uint8_t bytes[] = {0x0A, 0x0D, 0x00, 0x1B, 0x03, 0x11, 0x13, 0xFF};
    ASSERT_EQ(seam.write(seam.port, bytes, sizeof bytes), long(sizeof bytes));
    uint8_t received[sizeof bytes] = {};
    ASSERT_EQ(read(pty.master, received, sizeof received), ssize_t(sizeof bytes));
    EXPECT_EQ(std::vector<uint8_t>(received, received + sizeof received),
              std::vector<uint8_t>(bytes, bytes + sizeof bytes));

    uint8_t answer = 0;
    EXPECT_EQ(seam.readByte(seam.port, &answer), ReadResult::Nothing);
    const uint8_t ack = kAck;
    ASSERT_EQ(write(pty.master, &ack, 1), 1);
    EXPECT_EQ(seam.readByte(seam.port, &answer), ReadResult::Byte);
    EXPECT_EQ(answer, kAck);

    // The device end goes away: reads and writes say so instead of spinning.
    close(pty.master);
    pty.master = -1;
    EXPECT_EQ(seam.readByte(seam.port, &answer), ReadResult::Lost);
    EXPECT_LT(seam.write(seam.port, bytes, sizeof bytes), 0);
    ClosePort(opened.port);
}

}  // namespace
