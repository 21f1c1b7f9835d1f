// Opening a port by its device path on Linux, and the worker's seam over it.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>

#include "port_posix.h"

uint64_t NowNs()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000000000ull + uint64_t(now.tv_nsec);
}

void MakeRaw(termios& settings)
{
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 0;  // reads never block: poll sets the pace
    settings.c_cc[VTIME] = 0;
}

namespace {

unsigned long long MonotonicMs(void* = nullptr) { return NowNs() / 1000000ull; }

// The termios constant of each rate the baud table holds.
const struct {
    unsigned long rate;
    speed_t speed;
} kSpeeds[] = {{4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400}};

speed_t SpeedOf(unsigned long baud)
{
    for (const auto& row : kSpeeds)
        if (row.rate == baud) return row.speed;
    return B9600;
}

// What the line runs at, as a rate where the table has it; 0 otherwise.
unsigned long RateOf(speed_t speed)
{
    for (const auto& row : kSpeeds)
        if (row.speed == speed) return row.rate;
    return 0;
}

bool IsLostError(int error) { return error != EAGAIN && error != EWOULDBLOCK && error != EINTR; }

Port& PortOf(void* context) { return *static_cast<Port*>(context); }

// Writes as much as the port takes within 10 ms per byte plus 200 ms, like
// the Windows port's write timeout, but at most a second, so that a large
// gathered write still comes back to the worker (and its ABORT) in time;
// the worker retries the rest.
constexpr unsigned long long kLongestWriteMs = 1000;

long PosixWrite(void* context, const uint8_t* bytes, size_t count)
{
    Port& port = PortOf(context);
    unsigned long long timeout = kPortTimeouts.writeTotalMultiplier * count + kPortTimeouts.writeTotalConstant;
    unsigned long long deadline = MonotonicMs() + (timeout < kLongestWriteMs ? timeout : kLongestWriteMs);
    size_t written = 0;
    while (written < count) {
        // The port usually takes a frame at once: waiting for room first
        // would cost every frame a system call.
        ssize_t taken = write(port.fd, bytes + written, count - written);
        if (taken < 0 && IsLostError(errno)) return -1;
        if (taken > 0) {
            written += size_t(taken);
            continue;
        }
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
    if (port.byteNs && written) {
        uint64_t now = NowNs();
        port.lineFreeNs = (port.lineFreeNs > now ? port.lineFreeNs : now) + written * port.byteNs;
        port.answerDueNs = port.lineFreeNs + port.byteNs;
    }
    return long(written);
}

enum class Spin { Byte, Nothing, Lost };

// A tty in raw mode reads 0 bytes both when there are none and when the
// port is gone: a poll that does not wait tells them apart.
Spin ReadAtOnce(const Port& port, uint8_t* byte)
{
    pollfd watch = {port.fd, POLLIN, 0};
    int ready = poll(&watch, 1, 0);
    if (ready == 0 || (ready < 0 && errno == EINTR)) return Spin::Nothing;
    if (ready < 0 || !(watch.revents & POLLIN)) return Spin::Lost;
    ssize_t n = read(port.fd, byte, 1);
    if (n == 1) return Spin::Byte;
    return n == 0 || IsLostError(errno) ? Spin::Lost : Spin::Nothing;
}

// Spinning holds a core while it lasts. While the lines are few (four a
// core at most), their spins seldom meet, and they keep the cores awake for
// the answers: a core with nothing to run sleeps, and waking it can take
// longer than the answer's own way through the kernel (100 us and more on a
// virtual machine). Past that, the spinners take the very cores the answers
// need to be woken on, so every job waits for its byte in the kernel
// instead, and N jobs cost N waits, not N spinning threads.
constexpr long kSpinningLinesPerCore = 4;
std::atomic<long> theTimedLines{0};

bool MaySpin()
{
    static const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    return theTimedLines.load() <= kSpinningLinesPerCore * (cores > 0 ? cores : 1);
}

// Sleeps (an early answer still wakes it) until shortly before the answer
// is due, then reads without sleeping until a little after; sched_yield
// lets the pty's own kernel work run on this CPU meanwhile. A job that may
// not spin leaves the whole wait to the caller's one sleep in the kernel.
Spin AwaitDueAnswer(Port& port, uint8_t* byte)
{
    uint64_t due = port.answerDueNs;
    port.answerDueNs = 0;
    if (!MaySpin()) return Spin::Nothing;
    uint64_t now = NowNs();
    if (now + kSpinBeforeNs < due) {
        uint64_t sleep = due - kSpinBeforeNs - now;
        timespec limit = {time_t(sleep / 1000000000ull), long(sleep % 1000000000ull)};
        pollfd watch = {port.fd, POLLIN, 0};
        if (ppoll(&watch, 1, &limit, nullptr) > 0 && !(watch.revents & POLLIN)) return Spin::Lost;
    }
    Spin got = Spin::Nothing;
    for (now = NowNs(); now < due + kSpinAfterNs && got == Spin::Nothing; now = NowNs()) {
        got = ReadAtOnce(port, byte);
        if (got == Spin::Nothing) sched_yield();
    }
    return got;
}

// One byte within 200 ms. A hang-up or an I/O error means the port is gone
// (a USB adapter pulled out, the other end of a pty closed).
ReadResult PosixReadByte(void* context, uint8_t* byte)
{
    Port& port = PortOf(context);
    if (port.answerDueNs) {
        Spin got = AwaitDueAnswer(port, byte);
        if (got != Spin::Nothing) return got == Spin::Byte ? ReadResult::Byte : ReadResult::Lost;
    }
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
// Some adapters take any rate and keep their own: the settings are read
// back, and a rate that did not take is said (the device would hear noise).
int SetUpLine(Port& port, unsigned long baud, char* note, size_t size)
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
    termios taken = {};
    if (tcgetattr(port.fd, &taken) == 0 && cfgetospeed(&taken) != SpeedOf(baud)) {
        unsigned long rate = RateOf(cfgetospeed(&taken));
        if (rate) std::snprintf(note, size, "the adapter did not take %lu baud: its line runs at %lu baud", baud, rate);
        else std::snprintf(note, size, "the adapter did not take %lu baud: its line runs at another rate", baud);
    }
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(port.fd, TIOCMBIS, &lines);
    tcflush(port.fd, TCIOFLUSH);
    return 0;
}

// A sysfs attribute of the device behind the open port; false where the
// path cannot be made.
bool DeviceAttribute(const Port& port, const char* name, char (&path)[PATH_MAX])
{
    struct stat status = {};
    return fstat(port.fd, &status) == 0 &&
           std::snprintf(path, sizeof path, "%s/dev/char/%u:%u/device/%s", SysfsRoot(), major(status.st_rdev),
                         minor(status.st_rdev), name) < int(sizeof path);
}

bool WriteAttribute(const char* path, const char* value)
{
    FILE* file = std::fopen(path, "w");
    bool written = file && std::fputs(value, file) >= 0;
    return (!file || std::fclose(file) == 0) && written;
}

// Where the driver takes it, ASYNC_LOW_LATENCY (FTDI's driver makes it a 1
// ms latency timer); else the adapter's latency_timer in sysfs, set to 1.
void AskForLowLatency(Port& port, char* note, size_t size)
{
    serial_struct serial = {};
    const char* refused = std::strerror(ENOTTY);
    if (ioctl(port.fd, TIOCGSERIAL, &serial) == 0) {
        if (serial.flags & ASYNC_LOW_LATENCY) return;
        port.savedSerialFlags = serial.flags;
        serial.flags |= ASYNC_LOW_LATENCY;
        if (ioctl(port.fd, TIOCSSERIAL, &serial) == 0) {
            port.restoreSerialFlags = true;
            std::snprintf(note, size, "low latency: ASYNC_LOW_LATENCY set");
            return;
        }
        refused = std::strerror(errno);
    }
    char timer[PATH_MAX], old[16] = "";
    FILE* file = nullptr;
    if (DeviceAttribute(port, "latency_timer", timer)) file = std::fopen(timer, "r");
    bool read = file && std::fgets(old, sizeof old, file);
    if (file) std::fclose(file);
    if (!read) {
        std::snprintf(note, size, "low latency: not set (TIOCSSERIAL: %s; no latency_timer)", refused);
        return;
    }
    old[std::strcspn(old, "\n")] = '\0';
    if (std::atoi(old) <= 1) return;
    if (!WriteAttribute(timer, "1\n")) {
        std::snprintf(note, size, "low latency: not set (latency_timer: %s)", std::strerror(errno));
        return;
    }
    std::snprintf(port.latencyTimer, sizeof port.latencyTimer, "%s", timer);
    std::snprintf(port.savedLatency, sizeof port.savedLatency, "%s", old);
    std::snprintf(note, size, "low latency: latency timer %s ms -> 1 ms", old);
}

// FTDI chips pass their buffer on at once when the event character comes:
// with it set to ACK, an answer no longer waits for the latency timer.
// Only ftdi_sio has the (write-only) attribute; a failure is only said.
void AskForEventCharacter(Port& port, char* note, size_t size)
{
    char path[PATH_MAX];
    if (!DeviceAttribute(port, "event_char", path) || access(path, F_OK) != 0) return;
    size_t used = std::strlen(note);
    const char* separator = used ? "; " : "";
    char value[16];
    std::snprintf(value, sizeof value, "%u\n", 0x100u | kAck);
    if (!WriteAttribute(path, value)) {
        std::snprintf(note + used, size - used, "%sevent character: not set (%s)", separator, std::strerror(errno));
        return;
    }
    std::snprintf(port.eventChar, sizeof port.eventChar, "%s", path);
    std::snprintf(note + used, size - used, "%sevent character: ACK (answers passed on at once)", separator);
}

void PutLatencyBack(Port& port)
{
    if (port.eventChar[0]) WriteAttribute(port.eventChar, "0\n");
    if (port.restoreSerialFlags) {
        serial_struct serial = {};
        if (ioctl(port.fd, TIOCGSERIAL, &serial) == 0) {
            serial.flags = port.savedSerialFlags;
            ioctl(port.fd, TIOCSSERIAL, &serial);
        }
    }
    if (!port.latencyTimer[0]) return;
    if (FILE* file = std::fopen(port.latencyTimer, "w")) {
        std::fprintf(file, "%s\n", port.savedLatency);
        std::fclose(file);
    }
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

// A place ("usb:1-1.3") as the device path there now, and a by-id name
// that may lead to either of two devices refused; false with the reason.
bool FindDevicePath(const char* name, const char*& path, char (&found)[256], PortOpening& opening)
{
    char serialNumber[64];
    char why[320];
    path = name;
    if (IsPlaceName(name) && !FindPortAt(name, found, sizeof found)) {
        FormatOpenError(opening, name, PortError::NotFound, "no serial port is plugged in there (see quorvane-cli ports)");
        return false;
    }
    if (IsPlaceName(name)) path = found;
    if (!ByIdNameIsShared(name, serialNumber)) return true;
    std::snprintf(why, sizeof why, "another device has the same USB serial number %s, so this name may lead to either; "
                  "name the port by where it is plugged in (see quorvane-cli ports)", serialNumber);
    FormatOpenError(opening, name, PortError::BadName, why);
    return false;
}

}  // namespace

PortOpening OpenPort(const char* name, unsigned long baud, AnswerMode mode)
{
    PortOpening opening = {};
    char why[160];
    char found[256];
    const char* asked = name;
    if (!FindDevicePath(asked, name, found, opening)) return opening;
    PathKind pathKind = KindOfPath(name, why, sizeof why);
    if (pathKind == PathKind::NotAPort) {
        FormatOpenError(opening, name, PortError::NotAPort, why);
        return opening;
    }
    Port* port = new Port{};
    port->fd = -1;
    int error = OpenExclusive(name, pathKind, *port);
    if (error == ENOTTY) {
        ClosePort(port);
        FormatOpenError(opening, name, PortError::NotAPort, "is not what it claims to be: not a serial or parallel port");
        return opening;
    }
    if (!error) opening.kind = KindOfPort(*port);
    // A serial line runs at the chosen rate whether or not the device answers.
    if (!error && opening.kind == PortKind::Serial)
        error = SetUpLine(*port, baud, opening.lineNote, sizeof opening.lineNote);
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
    if (opening.kind == PortKind::Serial) {
        AskForLowLatency(*port, opening.latencyNote, sizeof opening.latencyNote);
        if (opening.ackMode) AskForEventCharacter(*port, opening.latencyNote, sizeof opening.latencyNote);
        port->byteNs = 10ull * 1000000000ull / (baud ? baud : 9600);
        theTimedLines.fetch_add(1);
        opening.lineBytesPerSecond = IsPtySlave(status.st_rdev) ? 0 : baud / 10;
    }
    return opening;
}

void ClosePort(Port* port)
{
    if (port->byteNs) theTimedLines.fetch_sub(1);
    if (port->fd >= 0) {
        PutLatencyBack(*port);
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
