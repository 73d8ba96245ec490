#include "app/Program.h"

#if defined(__SANITIZE_ADDRESS__)
#include "platform/PinnedLibraries.h"
#endif

int main(int argc, char** argv) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer build's leak checker would blame the program for what the sound libraries
    // allocate once when ALSA loads them for a device.
    Platform::PinSoundLibraries();
#endif
    return Program::Run(argc, argv);
}
