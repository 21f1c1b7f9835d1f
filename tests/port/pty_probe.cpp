// The far end of a pseudo-terminal for the Windows port tests: makes a raw
// pty, prints the path a Windows program opens as its port, then follows
// commands on standard input, one a line:
//   scramble   puts the line in a state no set-up leaves behind (1200 baud,
//              7 data bits, odd parity, two stop bits, hardware and XON/XOFF
//              flow control), so a test can see what a set-up changed
//   dump       prints the line settings the Windows side left on the pty
//   send HEX   queues bytes for the Windows side to read
// It dumps once more and ends at the end of its input.
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct SpeedName {
    speed_t speed;
    const char* text;
};

const char* SpeedText(speed_t speed)
{
    static const SpeedName names[] = {{B1200, "1200"},   {B4800, "4800"},   {B9600, "9600"},
                                      {B19200, "19200"}, {B38400, "38400"}, {B57600, "57600"},
                                      {B115200, "115200"}};
    for (const SpeedName& name : names)
        if (name.speed == speed) return name.text;
    return "other";
}

const char* CharSizeText(tcflag_t cflag)
{
    switch (cflag & CSIZE) {
    case CS5: return "5";
    case CS6: return "6";
    case CS7: return "7";
    }
    return "8";
}

// The master shows the settings of the slave, whoever set them.
void Dump(int master)
{
    termios line = {};
    if (tcgetattr(master, &line) != 0) {
        printf("dump failed: %s\n", strerror(errno));
        fflush(stdout);
        return;
    }
    printf("speed=%s csize=%s parenb=%d cstopb=%d crtscts=%d ixon=%d ixoff=%d\n",
           SpeedText(cfgetospeed(&line)), CharSizeText(line.c_cflag),
           (line.c_cflag & PARENB) != 0, (line.c_cflag & CSTOPB) != 0,
           (line.c_cflag & CRTSCTS) != 0, (line.c_iflag & IXON) != 0, (line.c_iflag & IXOFF) != 0);
    fflush(stdout);
}

void Scramble(int slave)
{
    termios line = {};
    tcgetattr(slave, &line);
    cfmakeraw(&line);
    cfsetspeed(&line, B1200);
    line.c_cflag = (line.c_cflag & ~CSIZE) | CS7 | PARENB | PARODD | CSTOPB | CRTSCTS;
    line.c_iflag |= IXON | IXOFF;
    tcsetattr(slave, TCSANOW, &line);
    printf("scrambled\n");
    fflush(stdout);
}

void Send(int master, const std::string& hex)
{
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        char pair[3] = {hex[i], hex[i + 1], 0};
        unsigned char byte = static_cast<unsigned char>(strtoul(pair, nullptr, 16));
        if (write(master, &byte, 1) != 1) perror("send");
    }
    printf("sent\n");
    fflush(stdout);
}

}  // namespace

int main()
{
    int master = -1;
    int slave = -1;
    termios raw = {};
    cfmakeraw(&raw);
    if (openpty(&master, &slave, nullptr, &raw, nullptr) != 0) {
        perror("openpty");
        return 2;
    }
    // Holding the slave open keeps its settings and spares the master a
    // hang-up between the Windows side's opens.
    printf("%s\n", ttyname(slave));
    fflush(stdout);

    char command[256];
    while (fgets(command, sizeof command, stdin)) {
        std::string text(command);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (text == "dump")
            Dump(master);
        else if (text == "scramble")
            Scramble(slave);
        else if (text.rfind("send ", 0) == 0)
            Send(master, text.substr(5));
        else {
            printf("unknown command: %s\n", text.c_str());
            fflush(stdout);
        }
    }
    Dump(master);
    close(slave);
    close(master);
    return 0;
}
