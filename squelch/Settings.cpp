#include "squelch/Settings.h"

#include <algorithm>
#include <string>

#include "squelch/Ctcss.h"
#include "toolkit/SectionReader.h"
#include "toolkit/SysUtils.h"

namespace squelch {
namespace {

constexpr const char* standardTones = "one of the 50 standard tones from 67.0 to 254.1 Hz";

// Source: one source, or two of them joined with +.
settings::Key sourceKey(unsigned& field) {
    return {"Source", "audio, cos or ctcss, or two of them joined with + (cos+ctcss, audio+ctcss)",
            [&field](const std::string& text, const std::filesystem::path&) {
                unsigned sources = 0;
                std::size_t parts = 0;
                for (std::size_t at = 0; at <= text.size(); ++parts) {
                    const std::size_t plus = std::min(text.find('+', at), text.size());
                    const std::string name = text.substr(at, plus - at);
                    const unsigned bit = name == "audio"   ? unsigned(Source::audio)
                                         : name == "cos"   ? unsigned(Source::cos)
                                         : name == "ctcss" ? unsigned(Source::ctcss)
                                                           : 0;
                    if (bit == 0 || (sources & bit) != 0)
                        return false;
                    sources |= bit;
                    at = plus + 1;
                }
                if (parts > 2)
                    return false;
                field = sources;
                return true;
            },
            "audio"};
}

// A ratio in dB from 0 to 40.
settings::Key decibels(const char* name, double& field) {
    return {name, "a ratio in dB from 0 to 40",
            [&field](const std::string& text, const std::filesystem::path&) {
                double v = 0;
                if (!SysUtils::TryStrToFloat(text, v) || !(v >= 0 && v <= 40))
                    return false;
                field = v;
                return true;
            },
            SysUtils::FloatToStr(field)};
}

settings::Key toneKey(double& field) {
    return {"CtcssTone", standardTones,
            [&field](const std::string& text, const std::filesystem::path&) {
                double hz = 0;
                const auto tone =
                    SysUtils::TryStrToFloat(text, hz) ? standardTone(hz) : std::nullopt;
                if (tone)
                    field = *tone;
                return tone.has_value();
            },
            "none"};
}

} // namespace

void readSettings(const IniFiles::TIniFile& file, Settings& into,
                  std::vector<std::string>& notices) {
    settings::SectionReader reader(file, settingsSection);
    CosSettings& cos = into.cos;
    // CosPin's meaning depends on CosType: read once the type is known.
    std::string cosPin;
    reader.read({
        settings::flag("TrimTail", into.trimTail),
        settings::described(settings::integer("MinOver", into.minOverMs, 0, maxMinOverMs),
                            "whole milliseconds from 0 (off) to " + std::to_string(maxMinOverMs)),
        settings::flag("SilenceIsNoSignal", into.silenceIsNoSignal),
        settings::choice("Window", into.hannWindow, {{"none", false}, {"hann", true}}),
        settings::real("CloseLevel", into.closeLevel, 0.0, 1.0,
                       "a number between 0 and 1, as SquelchLevel"),
        sourceKey(into.sources),
        settings::choice(
            "CosType", cos.type,
            {{"serial", CosType::serial}, {"cm108", CosType::cm108}, {"gpio", CosType::gpio}}),
        // A GPIO chip may be named without a folder (gpiochip0): not a path of the file's.
        settings::text("CosDevice", cos.device),
        settings::text("CosPin", cosPin),
        settings::choice("CosBias", cos.bias,
                         {{"pull-up", CosBias::pullUp},
                          {"pull-down", CosBias::pullDown},
                          {"none", CosBias::none}}),
        settings::flag("CosInvert", cos.invert),
        toneKey(into.ctcssTone),
        decibels("CtcssOpen", into.ctcssOpenDb),
        decibels("CtcssClose", into.ctcssCloseDb),
    });
    if (into.uses(Source::cos) && cos.device.empty())
        reader.refuse(
            "CosDevice", cos.device,
            cos.type == CosType::serial  ? "with Source=cos, the serial port (e.g. /dev/ttyUSB0)"
            : cos.type == CosType::cm108 ? "with Source=cos, the hidraw device (e.g. /dev/hidraw0)"
                                         : "with Source=cos, the GPIO chip (e.g. gpiochip0)");
    switch (cos.type) {
    case CosType::serial: {
        const std::string allowed = "with CosType=serial, dcd, cts, dsr or ri";
        if (!cosPin.empty() && !settings::choice("CosPin", cos.serialPin,
                                                 {{"dcd", SerialPin::dcd},
                                                  {"cts", SerialPin::cts},
                                                  {"dsr", SerialPin::dsr},
                                                  {"ri", SerialPin::ri}})
                                    .take(cosPin, {}))
            reader.refuse("CosPin", cosPin, allowed);
        break;
    }
    case CosType::cm108:
        if (!cosPin.empty() && !settings::choice("CosPin", cos.hidButton,
                                                 {{"volume-down", HidButton::volumeDown},
                                                  {"volume-up", HidButton::volumeUp},
                                                  {"mute-play", HidButton::mutePlay},
                                                  {"mute-record", HidButton::muteRecord}})
                                    .take(cosPin, {}))
            reader.refuse("CosPin", cosPin,
                          "with CosType=cm108, volume-down, volume-up, mute-play or mute-record");
        break;
    case CosType::gpio: {
        const std::string allowed = "with CosType=gpio, the line's number from 0 to 1023";
        if (!cosPin.empty() ? !settings::integer("CosPin", cos.gpioLine, 0, 1023).take(cosPin, {})
                            : into.uses(Source::cos))
            reader.refuse("CosPin", cosPin, allowed);
        break;
    }
    }
    if (into.uses(Source::ctcss) && into.ctcssTone == 0 && !reader.value("CtcssTone"))
        reader.refuse("CtcssTone", "", std::string("with Source=ctcss, ") + standardTones);
    if (into.ctcssCloseDb > into.ctcssOpenDb)
        reader.refuse("CtcssClose", SysUtils::FloatToStr(into.ctcssCloseDb),
                      "a ratio no higher than CtcssOpen");
    notices.insert(notices.end(), reader.notices().begin(), reader.notices().end());
    reader.throwIfRefused();
}

} // namespace squelch
