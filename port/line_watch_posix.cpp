// A fixture's modem status line on Linux: the serial driver counts every
// change of DSR, CTS and DCD (TIOCGICOUNT), so a pulse that is over before
// the station looks again is still seen; a driver that keeps no counts is
// watched by the line's level at each look.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "port.h"

struct LineWatch {
    int fd;
    ModemLine line;
    bool counted;        // the driver counts the line's changes
    int lastCount;
    bool wasHigh;
};

namespace {

int StatusBit(ModemLine line)
{
    switch (line) {
    case ModemLine::Dsr: return TIOCM_DSR;
    case ModemLine::Cts: return TIOCM_CTS;
    default: return TIOCM_CD;
    }
}

bool ReadCount(const LineWatch& watch, int& count)
{
    serial_icounter_struct counts = {};
    if (ioctl(watch.fd, TIOCGICOUNT, &counts) != 0) return false;
    count = watch.line == ModemLine::Dsr ? counts.dsr : watch.line == ModemLine::Cts ? counts.cts : counts.dcd;
    return true;
}

bool IsHigh(const LineWatch& watch)
{
    int status = 0;
    return ioctl(watch.fd, TIOCMGET, &status) == 0 && (status & StatusBit(watch.line)) != 0;
}

}  // namespace

LineWatch* WatchModemLine(const char* name, ModemLine line, Failure& failure)
{
    // Not exclusive, and no line settings changed: the job sets up the port.
    int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Fail(failure, "cannot watch %s on %s: %s", ModemLineName(line), name, std::strerror(errno));
        return nullptr;
    }
    LineWatch* watch = new LineWatch{fd, line, false, 0, false};
    watch->counted = ReadCount(*watch, watch->lastCount);
    watch->wasHigh = IsHigh(*watch);
    return watch;
}

bool ModemLineRose(LineWatch* watch)
{
    bool high = IsHigh(*watch);
    bool rose = !watch->wasHigh && high;
    int count = 0;
    if (watch->counted && ReadCount(*watch, count)) {
        // Two changes are a whole pulse, however short; one is a rise when
        // the line is high now.
        int changes = count - watch->lastCount;
        rose = changes >= 2 || (changes == 1 && high);
        watch->lastCount = count;
    }
    watch->wasHigh = high;
    return rose;
}

void StopWatchingModemLine(LineWatch* watch)
{
    if (!watch) return;
    close(watch->fd);
    delete watch;
}
