// The program around the main window: the command line, the choice of sound card, the device
// list and the headless run.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Program {

enum class TClockChoice { Default, Fast, RealTime };

struct TOptions {
    std::string Input;  // a WAV file played into the simulated card's capture device
    std::string Output; // the simulated card's playback device writes here
    std::string Ini;
    bool Headless = false;
    bool Test = false;
    bool ListDevices = false;
    bool PttTest = false;
    bool PttRelease = false;
    bool CosTest = false;
    std::string Dtmf;       // a recording whose DTMF digits are printed
    bool TotpSetup = false; // a new secret for codes over the air
    bool Help = false;
    bool Version = false;
    // --transmitter on|off: stores the switch for the settings file's station.
    std::optional<bool> Transmitter;
    // --add-account NAME --role ROLE, --remove-account NAME: the page's accounts.
    std::string AddAccount, RemoveAccount, Role;
    TClockChoice Clock = TClockChoice::Default;
    // The squelch calibration, and the recordings of its two phases.
    bool Calibrate = false;
    std::optional<unsigned> Seconds;
    bool Write = false;
    std::string Noise;
    std::string Carrier;

    bool Simulated() const {
        return !Input.empty() || !Output.empty() || !Noise.empty() || !Carrier.empty();
    }
};

// A command line that cannot be run: the message says why.
class EUsage : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

TOptions ParseOptions(const std::vector<std::string>& Arguments);
std::string UsageText();

// Runs the whole program; returns the exit status.
int Run(int argc, char** argv);

} // namespace Program
