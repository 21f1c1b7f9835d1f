// The station sleeps on the kernel's uevents (a device added or removed)
// and on a pipe that a job's thread writes as its job ends.
#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "production.h"

namespace {

int theDeviceEvents = -1;  // the kernel's uevents; -1 where they cannot be had
int theWakePipe[2] = {-1, -1};

void Drain(int fd)
{
    char block[4096];
    while (read(fd, block, sizeof block) > 0) {
    }
}

}  // namespace

void StartDeviceWatch()
{
    sockaddr_nl events = {};
    events.nl_family = AF_NETLINK;
    events.nl_groups = 1;  // the kernel's own uevents, as udev gets them
    theDeviceEvents = socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (theDeviceEvents >= 0 && bind(theDeviceEvents, reinterpret_cast<sockaddr*>(&events), sizeof events) != 0) {
        close(theDeviceEvents);
        theDeviceEvents = -1;
    }
    if (pipe2(theWakePipe, O_NONBLOCK | O_CLOEXEC) != 0) theWakePipe[0] = theWakePipe[1] = -1;
}

void WaitForDeviceChange(int ms)
{
    pollfd watch[2] = {{theDeviceEvents, POLLIN, 0}, {theWakePipe[0], POLLIN, 0}};
    if (poll(watch, 2, ms) <= 0) return;
    for (const pollfd& each : watch)
        if (each.fd >= 0 && (each.revents & POLLIN)) Drain(each.fd);
}

void WakeStation()
{
    char byte = 0;
    if (theWakePipe[1] >= 0 && write(theWakePipe[1], &byte, 1) < 0) {
        // A full pipe wakes the station already.
    }
}
