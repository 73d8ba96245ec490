#include "app/DeviceNames.h"

#include <QString>

#include "toolkit/SysUtils.h"

namespace DeviceNames {

MMSystem::UINT find(WaveCore::TDirection Direction, const std::string& Text,
                    const std::string& Key) {
    auto& core = WaveCore::TWaveCore::Instance();
    const MMSystem::UINT count = core.GetNumDevs(Direction);
    const QString wanted = QString::fromStdString(Text);
    std::string list;
    for (MMSystem::UINT id = 0; id < count; ++id) {
        const std::string name = core.DeviceName(Direction, id);
        if (QString::fromStdString(name).contains(wanted, Qt::CaseInsensitive))
            return id;
        list += "\n  " + std::to_string(id) + "  " + name;
    }
    const bool capture = Direction == WaveCore::TDirection::Capture;
    throw SysUtils::Exception(Key + " \"" + Text + "\" matches no " +
                              (capture ? "capture" : "playback") + " device; " +
                              (list.empty() ? std::string("there is none.") : "there are:" + list));
}

} // namespace DeviceNames
