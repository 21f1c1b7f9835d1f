// Opening a port by its device path on Linux, and the worker's seam over it.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include "port.h"
#include "sysfs_posix.h"

namespace {

unsigned long long MonotonicMs(void* = nullptr)
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (unsigned long long)now.tv_sec * 1000ull + (unsigned long long)now.tv_nsec / 1000000ull;
}

speed_t SpeedOf(unsigned long baud)
{
    switch (baud) {
    case 4800: return B4800;
    case 19200: return B19200;
    case 38400: return B38400;
    default: return B9600;
    }
}

void MakeRaw(termios& settings)
{
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 0;  // reads never block: poll sets the pace
    settings.c_cc[VTIME] = 0;
}

bool IsLostError(int error) { return error != EAGAIN && error != EWOULDBLOCK && error != EINTR; }

PosixPort& PortOf(void* context) { return *static_cast<PosixPort*>(context); }

// Writes as much as the port takes within 10 ms per byte plus 200 ms, like
// the Windows port's write timeout; the worker retries the rest.
long PosixWrite(void* context, const uint8_t* bytes, size_t count)
{
    PosixPort& port = PortOf(context);
    unsigned long long deadline =
        MonotonicMs() + kPortTimeouts.writeTotalMultiplier * count + kPortTimeouts.writeTotalConstant;
    size_t written = 0;
    while (written < count) {
        unsigned long long now = MonotonicMs();
        if (now >= deadline) break;
        pollfd watch = {port.fd, POLLOUT, 0};
        int ready = poll(&watch, 1, int(deadline - now));
        if (ready < 0 && errno != EINTR) return -1;
        if (ready <= 0) continue;
        if (watch.revents & (POLLERR | POLLHUP | POLLNVAL)) return -1;
        ssize_t n = write(port.fd, bytes + written, count - written);
        if (n < 0 && IsLostError(errno)) return -1;
        if (n > 0) written += size_t(n);
    }
    return long(written);
}

// One byte within 200 ms. A hang-up or an I/O error means the port is gone
// (a USB adapter pulled out, the other end of a pty closed).
ReadResult PosixReadByte(void* context, uint8_t* byte)
{
    PosixPort& port = PortOf(context);
    pollfd watch = {port.fd, POLLIN, 0};
    int ready = poll(&watch, 1, int(kPortTimeouts.readTotalConstant));
    if (ready < 0) return errno == EINTR ? ReadResult::Nothing : ReadResult::Lost;
    if (ready == 0) return ReadResult::Nothing;
    if (!(watch.revents & POLLIN)) return ReadResult::Lost;
    ssize_t n = read(port.fd, byte, 1);
    if (n == 1) return ReadResult::Byte;
    if (n == 0) return ReadResult::Lost;
    return IsLostError(errno) ? ReadResult::Lost : ReadResult::Nothing;
}

void PosixPause(void*)
{
    timespec pause = {0, 100 * 1000000L};
    nanosleep(&pause, nullptr);
}

// Lets bytes still queued for the line go out before the settings change,
// for as long as they take at 4800 baud (about 2 ms a byte) plus 200 ms.
void DrainOutput(const PosixPort& port)
{
    int queued = 0;
    if (ioctl(port.fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
    unsigned long long deadline = MonotonicMs() + 3ull * (unsigned long long)queued + 200;
    while (MonotonicMs() < deadline) {
        if (ioctl(port.fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
        PosixPause(nullptr);
    }
}

}  // namespace

int OpenPosixPort(const char* path, PosixPort& port)
{
    port.fd = -1;
    port.isTerminal = false;
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    // Exclusive for this job: TIOCEXCL keeps other users out, the lock keeps
    // out another quorvane-cli even when it runs as root.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        return error;
    }
    if (isatty(fd)) {
        if (tcgetattr(fd, &port.saved) != 0) {
            int error = errno;
            close(fd);
            return error;
        }
        ioctl(fd, TIOCEXCL);
        termios raw = port.saved;
        MakeRaw(raw);
        tcsetattr(fd, TCSANOW, &raw);
        port.isTerminal = true;
    }
    port.fd = fd;
    return 0;
}

int SetUpPosixLine(PosixPort& port, unsigned long baud)
{
    if (!port.isTerminal) return 0;
    termios line = {};
    if (tcgetattr(port.fd, &line) != 0) return errno;
    MakeRaw(line);
    line.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    line.c_cflag |= CS8;
    line.c_iflag &= ~(IXON | IXOFF | IXANY);
    cfsetispeed(&line, SpeedOf(baud));
    cfsetospeed(&line, SpeedOf(baud));
    if (tcsetattr(port.fd, TCSANOW, &line) != 0) return errno;
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(port.fd, TIOCMBIS, &lines);  // a pty has no modem lines: refused, harmless
    tcflush(port.fd, TCIOFLUSH);
    return 0;
}

void ClosePosixPort(PosixPort& port)
{
    if (port.fd < 0) return;
    if (port.isTerminal) {
        DrainOutput(port);
        tcsetattr(port.fd, TCSANOW, &port.saved);
    }
    close(port.fd);
    port.fd = -1;
}

void FillPosixSeam(TransferSeam& seam, PosixPort& port, void* dialog,
                   void (*notify)(void* dialog, unsigned message, long long total))
{
    seam = {&port, dialog, PosixWrite, PosixReadByte, PosixPause, notify, MonotonicMs};
}

PosixPortKind KindOfPosixPort(const char* sysRoot, const PosixPort& port)
{
    if (!port.isTerminal) return PosixPortKind::Parallel;
    struct stat status = {};
    if (fstat(port.fd, &status) != 0) return PosixPortKind::Serial;
    char device[PATH_MAX];
    int length = std::snprintf(device, sizeof device, "%s/dev/char/%u:%u", sysRoot, major(status.st_rdev),
                               minor(status.st_rdev));
    if (length < 0 || size_t(length) >= sizeof device) return PosixPortKind::Serial;
    UsbIdentity usb = UsbIdentityOf(device);
    return usb.known && IsDeviceUsb(usb) ? PosixPortKind::DeviceUsb : PosixPortKind::Serial;
}
