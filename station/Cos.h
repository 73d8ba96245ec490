// The receiver's carrier-operated switch (COS, COR) as the squelch reads it: one class per kind
// of line, chosen by CosType, beside the PTT lines and through the same serial control call.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "squelch/Pipeline.h"
#include "squelch/Settings.h"
#include "station/Ptt.h"

namespace station {

// A COS line that cannot be opened or read; the message names the device and the reason.
class CosError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The line the settings ask for. Throws CosError.
std::unique_ptr<squelch::CosLine> openCos(const squelch::CosSettings& S);
// A modem-status line (DCD, CTS, DSR, RI) of a serial port.
std::unique_ptr<squelch::CosLine> openSerialCos(const std::string& Device, squelch::SerialPin Pin,
                                                bool Invert, SerialIoctl Ioctl = {});
// A button input of a CM108-family sound card, from the HID input reports of its hidraw device
// (a FIFO stands in for one in tests): a pressed button, the input pulled low, is active.
std::unique_ptr<squelch::CosLine> openCm108Cos(const std::string& Device, squelch::HidButton Button,
                                               bool Invert);
// A GPIO line of a gpiochip device (or a chip name such as gpiochip0), as an input.
std::unique_ptr<squelch::CosLine> openGpioCos(const std::string& Chip, unsigned Offset,
                                              squelch::CosBias Bias, bool Invert);

// The pin's name as the settings write it ("dcd", "volume-down", "17").
std::string pinName(const squelch::CosSettings& S);

} // namespace station
