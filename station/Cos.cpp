#include "station/Cos.h"

#include <array>
#include <cerrno>
#include <gpiod.h>
#include <sys/ioctl.h>

#include "station/FileHandle.h"

namespace station {
namespace {

int modemBit(squelch::SerialPin Pin) {
    switch (Pin) {
    case squelch::SerialPin::dcd:
        return TIOCM_CD;
    case squelch::SerialPin::cts:
        return TIOCM_CTS;
    case squelch::SerialPin::dsr:
        return TIOCM_DSR;
    case squelch::SerialPin::ri:
        return TIOCM_RI;
    }
    return TIOCM_CD;
}

class SerialCos : public squelch::CosLine {
public:
    SerialCos(const std::string& Device, squelch::SerialPin Pin, bool Invert, SerialIoctl Ioctl)
        : device_(Device), file_(Device, O_RDONLY | O_NOCTTY | O_NONBLOCK), bit_(modemBit(Pin)),
          invert_(Invert), ioctl_(std::move(Ioctl)) {
        if (file_.fd() < 0)
            throw CosError("the COS serial port " + device_ +
                           " cannot be opened: " + lastSystemError());
        if (!ioctl_)
            ioctl_ = [](int Fd, unsigned long Request, int* Bits) {
                return ::ioctl(Fd, Request, Bits);
            };
        carrier(); // a port whose lines cannot be read refuses Start
    }
    bool carrier() override {
        int bits = 0;
        if (ioctl_(file_.fd(), TIOCMGET, &bits) != 0)
            throw CosError("the COS line of " + device_ + " cannot be read: " + lastSystemError());
        return ((bits & bit_) != 0) != invert_;
    }

private:
    std::string device_;
    FileHandle file_;
    int bit_;
    bool invert_;
    SerialIoctl ioctl_;
};

// The device sends an input report only when a button changes: the last one holds.
class Cm108Cos : public squelch::CosLine {
public:
    Cm108Cos(const std::string& Device, squelch::HidButton Button, bool Invert)
        : device_(Device), file_(Device, O_RDONLY | O_NONBLOCK),
          mask_(static_cast<std::uint8_t>(Button)), invert_(Invert) {
        if (file_.fd() < 0)
            throw CosError("the COS device " + device_ + " cannot be opened: " + lastSystemError());
    }
    bool carrier() override {
        std::array<std::uint8_t, 64> report{};
        for (;;) {
            const ssize_t n = ::read(file_.fd(), report.data(), report.size());
            if (n > 0) {
                pressed_ = (report[0] & mask_) != 0;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            throw CosError("the COS device " + device_ + " cannot be read: " +
                           (n == 0 ? std::string("it has gone") : lastSystemError()));
        }
        return pressed_ != invert_;
    }

private:
    std::string device_;
    FileHandle file_;
    std::uint8_t mask_;
    bool invert_;
    bool pressed_ = false;
};

class GpioCos : public squelch::CosLine {
public:
    GpioCos(const std::string& Chip, unsigned Offset, squelch::CosBias Bias, bool Invert)
        : name_(Chip + " line " + std::to_string(Offset)), invert_(Invert) {
        chip_ = ::gpiod_chip_open_lookup(Chip.c_str());
        if (chip_ == nullptr)
            throw CosError("the COS GPIO chip " + Chip +
                           " cannot be opened: " + gpioChipError(Chip));
        int flags = 0;
        switch (Bias) {
        case squelch::CosBias::asIs:
            break;
        case squelch::CosBias::pullUp:
            flags = GPIOD_LINE_REQUEST_FLAG_BIAS_PULL_UP;
            break;
        case squelch::CosBias::pullDown:
            flags = GPIOD_LINE_REQUEST_FLAG_BIAS_PULL_DOWN;
            break;
        case squelch::CosBias::none:
            flags = GPIOD_LINE_REQUEST_FLAG_BIAS_DISABLE;
            break;
        }
        line_ = ::gpiod_chip_get_line(chip_, Offset);
        if (line_ == nullptr || ::gpiod_line_request_input_flags(line_, "quorim-cos", flags) != 0) {
            const std::string why = lastSystemError();
            ::gpiod_chip_close(chip_);
            throw CosError("the COS GPIO " + name_ + " cannot be taken: " + why);
        }
    }
    ~GpioCos() override {
        ::gpiod_line_release(line_);
        ::gpiod_chip_close(chip_);
    }
    bool carrier() override {
        const int value = ::gpiod_line_get_value(line_);
        if (value < 0)
            throw CosError("the COS GPIO " + name_ + " cannot be read: " + lastSystemError());
        return (value == 1) != invert_;
    }

private:
    std::string name_;
    bool invert_;
    ::gpiod_chip* chip_ = nullptr;
    ::gpiod_line* line_ = nullptr;
};

} // namespace

std::unique_ptr<squelch::CosLine> openSerialCos(const std::string& Device, squelch::SerialPin Pin,
                                                bool Invert, SerialIoctl Ioctl) {
    return std::make_unique<SerialCos>(Device, Pin, Invert, std::move(Ioctl));
}

std::unique_ptr<squelch::CosLine> openCm108Cos(const std::string& Device, squelch::HidButton Button,
                                               bool Invert) {
    return std::make_unique<Cm108Cos>(Device, Button, Invert);
}

std::unique_ptr<squelch::CosLine> openGpioCos(const std::string& Chip, unsigned Offset,
                                              squelch::CosBias Bias, bool Invert) {
    return std::make_unique<GpioCos>(Chip, Offset, Bias, Invert);
}

std::unique_ptr<squelch::CosLine> openCos(const squelch::CosSettings& S) {
    switch (S.type) {
    case squelch::CosType::serial:
        return openSerialCos(S.device, S.serialPin, S.invert);
    case squelch::CosType::cm108:
        return openCm108Cos(S.device, S.hidButton, S.invert);
    case squelch::CosType::gpio:
        return openGpioCos(S.device, S.gpioLine, S.bias, S.invert);
    }
    return nullptr;
}

std::string pinName(const squelch::CosSettings& S) {
    switch (S.type) {
    case squelch::CosType::serial:
        return S.serialPin == squelch::SerialPin::dcd   ? "dcd"
               : S.serialPin == squelch::SerialPin::cts ? "cts"
               : S.serialPin == squelch::SerialPin::dsr ? "dsr"
                                                        : "ri";
    case squelch::CosType::cm108:
        return S.hidButton == squelch::HidButton::volumeUp     ? "volume-up"
               : S.hidButton == squelch::HidButton::volumeDown ? "volume-down"
               : S.hidButton == squelch::HidButton::mutePlay   ? "mute-play"
                                                               : "mute-record";
    case squelch::CosType::gpio:
        return std::to_string(S.gpioLine);
    }
    return {};
}

} // namespace station
