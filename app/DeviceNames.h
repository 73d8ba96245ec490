// Devices chosen by name rather than by number: numbers change when a USB sound card comes or
// goes, names do not.
#pragma once

#include <string>

#include "platform/MMSystem.h"
#include "platform/WaveCore.h"

namespace DeviceNames {

// The number of the first device whose listed name (host API included) contains Text, case
// aside; WAVE_MAPPER stands for the default device. Throws SysUtils::Exception naming Key and
// listing the devices there are when none does.
MMSystem::UINT find(WaveCore::TDirection Direction, const std::string& Text,
                    const std::string& Key);

} // namespace DeviceNames
