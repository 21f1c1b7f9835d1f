// Opening a port by its device path on Linux, and the worker's seam over it.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
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

#include "port_posix.h"

namespace {

unsigned long long MonotonicMs(void* = nullptr)
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (unsigned long long)now.tv_sec * 1000ull + (unsigned long long)now.tv_nsec / 1000000ull;
}

// The termios constant of each rate the baud table holds.
speed_t SpeedOf(unsigned long baud)
{
    static const struct {
        unsigned long rate;
        speed_t speed;
    } kSpeeds[] = {{4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400}};
    for (const auto& row : kSpeeds)
        if (row.rate == baud) return row.speed;
    return B9600;
}

void MakeRaw(termios& settings)
{
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 0;  // reads never block: poll sets the pace
    settings.c_cc[VTIME] = 0;
}

bool IsLostError(int error) { return error != EAGAIN && error != EWOULDBLOCK && error != EINTR; }

Port& PortOf(void* context) { return *static_cast<Port*>(context); }

// Writes as much as the port takes within 10 ms per byte plus 200 ms, like
// the Windows port's write timeout; the worker retries the rest.
long PosixWrite(void* context, const uint8_t* bytes, size_t count)
{
    Port& port = PortOf(context);
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
    Port& port = PortOf(context);
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
    timespec pause = {0, long(kShortWritePauseMs) * 1000000L};
    nanosleep(&pause, nullptr);
}

// Lets bytes still queued for the line go out before the settings change,
// for as long as they take at 4800 baud (about 2 ms a byte) plus 200 ms.
void DrainOutput(const Port& port)
{
    int queued = 0;
    if (ioctl(port.fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
    unsigned long long deadline = MonotonicMs() + 3ull * (unsigned long long)queued + 200;
    while (MonotonicMs() < deadline) {
        if (ioctl(port.fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
        PosixPause(nullptr);
    }
}

// A tty of USB device 0d5c:0002 is the target's own USB port; any other
// tty a serial port; anything else a parallel printer port.
PortKind KindOfPort(const Port& port)
{
    if (!port.isTerminal) return PortKind::Parallel;
    struct stat status = {};
    if (fstat(port.fd, &status) != 0) return PortKind::Serial;
    char device[PATH_MAX];
    int length = std::snprintf(device, sizeof device, "%s/dev/char/%u:%u", SysfsRoot(), major(status.st_rdev),
                               minor(status.st_rdev));
    if (length < 0 || size_t(length) >= sizeof device) return PortKind::Serial;
    return IsDeviceUsb(UsbIdentityOf(device)) ? PortKind::DeviceUsb : PortKind::Serial;
}

// Exclusive for this job: TIOCEXCL keeps other users out, the lock keeps
// out another quorvane-cli even when it runs as root. A tty goes raw, so
// no byte is changed on the way. Returns 0 or the errno that stopped it;
// ENOTTY for a path that names a tty but opens as something else.
int OpenExclusive(const char* path, PathKind kind, Port& port)
{
    port.fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port.fd < 0) return errno;
    if (flock(port.fd, LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? EBUSY : errno;
    bool isTerminal = isatty(port.fd) == 1;
    if (kind == PathKind::Printer) return isTerminal ? ENOTTY : 0;
    if (!isTerminal) return ENOTTY;
    if (tcgetattr(port.fd, &port.saved) != 0) return errno;
    port.isTerminal = true;
    ioctl(port.fd, TIOCEXCL);
    termios raw = port.saved;
    MakeRaw(raw);
    tcsetattr(port.fd, TCSANOW, &raw);
    return 0;
}

// A serial line's set-up: 8N1 at `baud` without flow control, DTR and RTS
// held on (a pty refuses that harmlessly), both directions flushed.
int SetUpLine(Port& port, unsigned long baud)
{
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
    ioctl(port.fd, TIOCMBIS, &lines);
    tcflush(port.fd, TCIOFLUSH);
    return 0;
}

PortError ErrorOf(int error)
{
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO: return PortError::NotFound;
    case EBUSY: return PortError::Busy;
    case EACCES:
    case EPERM: return PortError::AccessDenied;
    default: return PortError::Other;
    }
}

}  // namespace

PortOpening OpenPort(const char* name, unsigned long baud, AnswerMode mode)
{
    PortOpening opening = {};
    char why[160];
    PathKind pathKind = KindOfPath(name, why, sizeof why);
    if (pathKind == PathKind::NotAPort) {
        FormatOpenError(opening, name, PortError::NotAPort, why);
        return opening;
    }
    Port* port = new Port{-1, false, {}};
    int error = OpenExclusive(name, pathKind, *port);
    if (error == ENOTTY) {
        ClosePort(port);
        FormatOpenError(opening, name, PortError::NotAPort, "is not what it claims to be: not a serial or parallel port");
        return opening;
    }
    if (!error) opening.kind = KindOfPort(*port);
    // A serial line runs at the chosen rate whether or not the device answers.
    if (!error && opening.kind == PortKind::Serial) error = SetUpLine(*port, baud);
    if (error) {
        ClosePort(port);
        FormatOpenError(opening, name, ErrorOf(error),
                        error == EBUSY ? "port busy (another program has it open)" : std::strerror(error));
        return opening;
    }
    opening.port = port;
    opening.ackMode = AckModeFor(mode, opening.kind);
    struct stat status = {};
    if (fstat(port->fd, &status) == 0)
        FindOtherHolder(status.st_rdev, opening.otherHolder, sizeof opening.otherHolder);
    return opening;
}

void ClosePort(Port* port)
{
    if (port->fd >= 0) {
        if (port->isTerminal) {
            DrainOutput(*port);
            tcsetattr(port->fd, TCSANOW, &port->saved);
            ioctl(port->fd, TIOCNXCL);  // others may open it again, not only root
        }
        close(port->fd);
    }
    delete port;
}

void FillPortSeam(TransferSeam& seam, Port* port)
{
    seam.port = port;
    seam.write = PosixWrite;
    seam.readByte = PosixReadByte;
    seam.pause = PosixPause;
    seam.nowMs = MonotonicMs;
}
