// The line that keys the transmitter: one small interface, one class per kind of line, chosen
// by the PttType setting. Each line is released when it goes.
#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "station/Settings.h"

namespace station {

// A line that cannot be opened or set; the message names the device and the reason.
class PttError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class PttLine {
public:
    virtual ~PttLine() = default;
    // Keys (true) or releases the transmitter; PttInvert is applied by the line. Throws PttError.
    virtual void set(bool On) = 0;
};

// The modem-control call a serial line makes (ioctl(fd, Request, &Bits)); tests stand in for it.
using SerialIoctl = std::function<int(int Fd, unsigned long Request, int* Bits)>;

// The line the settings ask for, released; nullptr for PttType=none. Throws PttError.
std::unique_ptr<PttLine> openPtt(const Settings& S);
std::unique_ptr<PttLine> openSerialPtt(const std::string& Device, bool Dtr, bool Invert,
                                       SerialIoctl Ioctl = {});
// A CM108-family USB sound card's GPIO pin (1 to 8) through its hidraw device.
std::unique_ptr<PttLine> openCm108Ptt(const std::string& Device, int Gpio, bool Invert);
// A GPIO line offset of a gpiochip device (or a chip name such as gpiochip0).
std::unique_ptr<PttLine> openGpioPtt(const std::string& Chip, int Offset, bool Invert);

} // namespace station
