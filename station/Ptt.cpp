#include "station/Ptt.h"

#include <array>
#include <gpiod.h>
#include <sys/ioctl.h>
#include <termios.h>

#include "station/FileHandle.h"

namespace station {
namespace {

class SerialLine : public PttLine {
public:
    SerialLine(const std::string& Device, bool Dtr, bool Invert, SerialIoctl Ioctl)
        : device_(Device), file_(Device, O_RDWR | O_NOCTTY | O_NONBLOCK),
          bit_(Dtr ? TIOCM_DTR : TIOCM_RTS), invert_(Invert), ioctl_(std::move(Ioctl)) {
        if (file_.fd() < 0)
            throw PttError("the PTT serial port " + device_ +
                           " cannot be opened: " + lastSystemError());
        if (!ioctl_)
            ioctl_ = [](int Fd, unsigned long Request, int* Bits) {
                return ::ioctl(Fd, Request, Bits);
            };
        set(false);
    }
    ~SerialLine() override {
        try {
            set(false);
        } catch (...) {
            // closing the port drops the modem lines of most adapters anyway
        }
    }
    void set(bool On) override {
        int bits = bit_;
        if (ioctl_(file_.fd(), On != invert_ ? TIOCMBIS : TIOCMBIC, &bits) != 0)
            throw PttError("the PTT line of " + device_ + " cannot be set: " + lastSystemError());
    }

private:
    std::string device_;
    FileHandle file_;
    int bit_;
    bool invert_;
    SerialIoctl ioctl_;
};

// The HID output report of the CM108 and its kin: report 0, then the GPIO values and the
// direction mask (a set bit makes the pin an output).
class Cm108Line : public PttLine {
public:
    Cm108Line(const std::string& Device, int Gpio, bool Invert)
        : device_(Device), file_(Device, O_WRONLY),
          mask_(static_cast<std::uint8_t>(1u << (Gpio - 1))), invert_(Invert) {
        if (file_.fd() < 0)
            throw PttError("the PTT device " + device_ + " cannot be opened: " + lastSystemError());
        set(false);
    }
    ~Cm108Line() override {
        try {
            set(false);
        } catch (...) {
        }
    }
    void set(bool On) override {
        const std::array<std::uint8_t, 5> report{0, 0, On != invert_ ? mask_ : std::uint8_t{0},
                                                 mask_, 0};
        if (::write(file_.fd(), report.data(), report.size()) !=
            static_cast<ssize_t>(report.size()))
            throw PttError("the PTT device " + device_ + " cannot be set: " + lastSystemError());
    }

private:
    std::string device_;
    FileHandle file_;
    std::uint8_t mask_;
    bool invert_;
};

class GpioLine : public PttLine {
public:
    GpioLine(const std::string& Chip, int Offset, bool Invert) : name_(Chip), invert_(Invert) {
        chip_ = ::gpiod_chip_open_lookup(Chip.c_str());
        if (chip_ == nullptr)
            throw PttError("the PTT GPIO chip " + Chip +
                           " cannot be opened: " + gpioChipError(Chip));
        line_ = ::gpiod_chip_get_line(chip_, static_cast<unsigned>(Offset));
        if (line_ == nullptr ||
            ::gpiod_line_request_output(line_, "quorim-ptt", Invert ? 1 : 0) != 0) {
            const std::string why = lastSystemError();
            ::gpiod_chip_close(chip_);
            throw PttError("the PTT GPIO line " + std::to_string(Offset) + " of " + Chip +
                           " cannot be taken: " + why);
        }
    }
    ~GpioLine() override {
        ::gpiod_line_set_value(line_, invert_ ? 1 : 0);
        ::gpiod_line_release(line_);
        ::gpiod_chip_close(chip_);
    }
    void set(bool On) override {
        if (::gpiod_line_set_value(line_, On != invert_ ? 1 : 0) != 0)
            throw PttError("the PTT GPIO line of " + name_ +
                           " cannot be set: " + lastSystemError());
    }

private:
    std::string name_;
    bool invert_;
    ::gpiod_chip* chip_ = nullptr;
    ::gpiod_line* line_ = nullptr;
};

} // namespace

std::unique_ptr<PttLine> openSerialPtt(const std::string& Device, bool Dtr, bool Invert,
                                       SerialIoctl Ioctl) {
    return std::make_unique<SerialLine>(Device, Dtr, Invert, std::move(Ioctl));
}

std::unique_ptr<PttLine> openCm108Ptt(const std::string& Device, int Gpio, bool Invert) {
    return std::make_unique<Cm108Line>(Device, Gpio, Invert);
}

std::unique_ptr<PttLine> openGpioPtt(const std::string& Chip, int Offset, bool Invert) {
    return std::make_unique<GpioLine>(Chip, Offset, Invert);
}

std::unique_ptr<PttLine> openPtt(const Settings& S) {
    switch (S.pttType) {
    case PttType::None:
        return nullptr;
    case PttType::SerialRts:
    case PttType::SerialDtr:
        return openSerialPtt(S.pttDevice, S.pttType == PttType::SerialDtr, S.pttInvert);
    case PttType::Cm108:
        return openCm108Ptt(S.pttDevice, S.pttGpio, S.pttInvert);
    case PttType::Gpio:
        return openGpioPtt(S.pttDevice, S.pttGpio, S.pttInvert);
    }
    return nullptr;
}

} // namespace station
