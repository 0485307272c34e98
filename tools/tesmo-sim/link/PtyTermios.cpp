// termios2 comes from the kernel's headers, which clash with glibc's
// <termios.h>; this unit includes only the kernel's.
#include "link/PtyTermios.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace tesmo::sim {

std::optional<LineSettings> ReadPtySettings(int fd)
{
    termios2 state{};
    if (ioctl(fd, TCGETS2, &state) != 0) return std::nullopt;
    LineSettings settings;
    settings.baudRate = state.c_ospeed;
    switch (state.c_cflag & CSIZE) {
    case CS5: settings.dataBits = 5; break;
    case CS6: settings.dataBits = 6; break;
    case CS7: settings.dataBits = 7; break;
    default: settings.dataBits = 8; break;
    }
    if (!(state.c_cflag & PARENB)) settings.parity = 'N';
    else if (state.c_cflag & CMSPAR) settings.parity = (state.c_cflag & PARODD) ? 'M' : 'S';
    else settings.parity = (state.c_cflag & PARODD) ? 'O' : 'E';
    settings.stopBits = (state.c_cflag & CSTOPB) ? 2 : 1;
    return settings;
}

bool MakePtyRaw(int fd, const LineSettings& settings)
{
    termios2 state{};
    if (ioctl(fd, TCGETS2, &state) != 0) return false;
    state.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    state.c_oflag &= ~OPOST;
    state.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    state.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CBAUD);
    state.c_cflag |= CS8 | BOTHER;
    state.c_ispeed = state.c_ospeed = settings.baudRate;
    state.c_cc[VMIN] = 1;
    state.c_cc[VTIME] = 0;
    return ioctl(fd, TCSETS2, &state) == 0;
}

}  // namespace tesmo::sim
