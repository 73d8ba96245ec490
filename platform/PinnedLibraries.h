// PortAudio probes every PCM in ALSA's configuration, and ALSA loads a plugin for each and
// unloads it again. Some libraries under those plugins allocate when loaded and never free, so
// every unload leaves a leak the leak checker reports without being able to name it. Loaded
// once more here and never unloaded, they keep what they allocate reachable.
#pragma once

#include <dlfcn.h>

namespace Platform {

inline bool PinSoundLibraries() {
    bool all = true;
    for (const char* name : {"libpixman-1.so.0", "libzstd.so.1"})
        all = dlopen(name, RTLD_NOW | RTLD_NODELETE) != nullptr && all;
    return all;
}

} // namespace Platform
