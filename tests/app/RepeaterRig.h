// A repeater on the simulated card: a receiver whose carrier comes and goes, the main window
// (not shown) with its settings, and what it said and played.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <sndfile.h>
#include <string>
#include <utility>
#include <vector>

#include <QTemporaryDir>

#include "app/uMain.h"
#include "platform/SimCard.h"
#include "toolkit/Forms.h"

namespace RepeaterRig {

using SimCard::TTimeNs;

// The receiver: on the control channel hiss while no carrier is heard, a clean tone while one
// is (its noise band quiet); on the audio channel a pattern unique to every frame, so that a
// replay can be checked byte for byte. Carrier intervals are in frames at the open rate.
struct TReceiver {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> Carrier;
    double Hiss = 0.5; // amplitude of the uniform hiss
    double Tone = 0.3; // amplitude of the carrier's tone
    double ToneHz = 1000;
    int ControlChannel = 0;

    bool CarrierAt(std::uint64_t Frame) const;
    // The audio channel's raw sample of a frame (16-bit; 8-bit formats take its high byte).
    static std::int16_t Audio(std::uint64_t Frame);
    SimCard::TCaptureSource Source() const;
};

// The rig's receiver with its carrier over the given spans of buffers of Frames frames, its
// tone on the transform's bin 46 of a buffer.
TReceiver CarrierOverBuffers(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& Buffers,
                             std::uint32_t Rate = 44100, std::uint64_t Frames = 2048);

// Writes Seconds of the receiver's audio at Rate as a 16-bit stereo WAV file.
void WriteReceiverWav(const std::string& Path, const TReceiver& Receiver, double Seconds,
                      std::uint32_t Rate);
// A WAV file's samples, interleaved, as 16-bit values; Info tells its format.
std::vector<std::int16_t> ReadWav(const std::string& Path, SF_INFO& Info);
// The WAV file's RIFF and data sizes agree with what the file holds, and it holds audio.
bool WavHeaderMatchesData(const std::string& Path);

struct TState {
    TTimeNs Time;
    std::string Text;
};

class TRig {
public:
    // Settings are written to a fresh settings file before the window is made; with none
    // there is no file. Keys go to [Main] or [Options] by name, "Section/Key" to its section.
    explicit TRig(TReceiver Receiver, std::map<std::string, std::string> Settings = {},
                  SimCard::TClockMode Clock = SimCard::TClockMode::Manual,
                  SimCard::TConfig Config = {});
    ~TRig();

    uMain::TfMainForm& Form() { return *FForm; }
    SimCard::TSimCard& Card() { return FCard->Card(); }
    const std::vector<TState>& States() const { return FStates; }
    std::vector<std::string> StateTexts() const;
    const std::vector<std::string>& Errors() const { return FErrors; }
    const std::vector<std::string>& Boxes() const { return FBoxes; }
    std::string IniPath() const;

    // Lets card time pass with the program running.
    void RunFor(TTimeNs Duration) { Card().RunFor(Duration); }
    bool RunUntil(const std::function<bool()>& Done, TTimeNs Limit) {
        return Card().RunUntil(Done, Limit);
    }
    void DestroyForm() { FForm.reset(); }

private:
    QTemporaryDir FDir;
    std::vector<std::string> FErrors;
    std::vector<std::string> FBoxes;
    std::unique_ptr<Forms::TScopedUserNotices> FNotices;
    std::unique_ptr<SimCard::TInstalledCard> FCard;
    std::unique_ptr<uMain::TfMainForm> FForm;
    std::vector<TState> FStates;
};

// The position of a format in the mode list when both devices support every standard format.
int ModeIndex(WaveDefs::TWaveFormat Format);

// One transmission: a stretch of played audio without a gap, with the time of its first frame.
struct TTransmission {
    TTimeNs Start = 0;
    TTimeNs End = 0;
    std::uint64_t Frames = 0;
    std::vector<std::uint8_t> Bytes; // interleaved, as played
};
std::vector<TTransmission> Transmissions(const std::vector<SimCard::TPlayedBlock>& Log);

// Sample I of channel C of interleaved 16-bit stereo.
std::int16_t Sample16(const std::vector<std::uint8_t>& Bytes, std::size_t I, int C);

} // namespace RepeaterRig
