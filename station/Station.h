// The station beside the repeater: it decides what goes on the air around each replay
// (identification, courtesy tone, PTT lead), keys the PTT line, holds recording off after a
// stuck carrier and archives the overs. The controller plays what it is given and calls in at a
// few moments: start and stop, a replay starting and ending, each squelch decision, and idle.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "control/DtmfControl.h"
#include "control/TransmitterSwitch.h"
#include "station/Archive.h"
#include "station/Audio.h"
#include "station/Dtmf.h"
#include "station/Ptt.h"
#include "station/Report.h"
#include "station/Settings.h"
#include "station/Speech.h"
#include "station/Watchdog.h"

namespace IniFiles {
class TIniFile;
}

namespace station {

// Audio to play around a replay, in blocks no larger than the controller's buffers.
struct Additions {
    std::vector<Pcm> before;
    std::vector<Pcm> after;
};

class Station {
public:
    Station();
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // Reads [Station] and [Control]. A wrong key raises SettingsError, and every later start
    // raises it again. A key given twice or unknown is added to Notices.
    void load(const IniFiles::TIniFile& Ini, std::vector<std::string>* Notices = nullptr);

    // How a PTT line is opened; tests put a line of their own here.
    std::function<std::unique_ptr<PttLine>(const Settings&)> openLine = openPtt;
    // Told, on the program's thread, of a problem that does not stop the repeater (the archive).
    std::function<void(const std::string&)> onNotice;
    // Told, at once, what the station does that a log should show (the transmit lockout).
    std::function<void(const std::string&)> onLog;
    // The switch that says whether the station may transmit; none: it always may.
    const control::TransmitterSwitch* transmitter = nullptr;
    // The time of day the archive names overs by and the day's count of overs follows; a run on
    // a recording puts its own timeline here.
    std::function<std::chrono::system_clock::time_point()> wallClock = [] {
        return std::chrono::system_clock::now();
    };

    // What the station has done since it was made, for the status and the metrics.
    struct Tally {
        std::uint64_t overs = 0;     // replayed
        double transmitSeconds = 0;  // keyed, from keying to release
        std::uint64_t kerchunks = 0; // left out as too short
        std::uint64_t lockouts = 0;
        std::uint64_t notSentOvers = 0; // archived, not replayed: the transmitter was off
        double notSentSeconds = 0;
    };

    // The repeater starts in mono format Mono, playing blocks of at most BlockBytes, with the
    // squelch S and overs of at most LongestOverMs: the PTT line opens (released), the
    // identification and the speech engine are made ready and the archive folder checked.
    // Throws (SettingsError, PttError, std::runtime_error) when the repeater must not start.
    void start(TWaveFormat Mono, std::uint32_t BlockBytes, Squelch S = {},
               std::uint32_t LongestOverMs = 300'000);
    // Every way the repeater ends: the PTT is released and closed. Never throws.
    void stop() noexcept;

    // A replay is about to start. Over holds the recording's blocks (none for a lone
    // identification), the first SignalBlocks of them with the carrier on, Cut whether Duration
    // ended it. Returns what to play before and after the recording: after it, the report on
    // it, the identification and the courtesy tone. Nothing is keyed yet: see transmitting.
    // A spoken report is made while the over plays: then all that follows the over comes from
    // replayTail instead.
    Additions replayStarting(std::span<const std::span<const std::uint8_t>> Over, bool Cut,
                             std::size_t SignalBlocks);
    // The over's blocks have all been handed to the player: what follows them, once per replay
    // (waiting for the speech if it is not done yet); nothing when replayStarting gave it all.
    Additions replayTail();
    // The playback has started: the PTT is keyed (throws PttError when it cannot) and the transmit
    // watchdog armed. Keyed last, once nothing else can fail before the audio goes out.
    void transmitting();
    // Whether the transmission has outlasted the longest the settings allow; the first time, the
    // line is released at once and onOverdue is told. The controller asks on every played
    // buffer, and the watchdog's own timer asks when no buffer comes.
    bool overdue();
    // Told, on the program's thread, that the watchdog ended a transmission: the repeater must
    // stop as after a device failure, with these words.
    std::function<void(const std::string&)> onOverdue;
    // Transmissions the watchdog has ended since the program started.
    std::uint64_t watchdogTrips() const { return watchdogTrips_; }
    // The last sample has played: the PTT is released after its tail. Returns what is left of
    // the lock (LockMs) once the tail has passed.
    std::uint32_t replayEnded(std::uint32_t LockMs);
    // A captured buffer's raw squelch decision and figure (the noise band's level, scheme A).
    // True while the transmit lockout holds recording off.
    bool holdsOff(bool Raw, double Figure);
    // The recording was dropped without a replay (too short): its figures and digits go with it.
    void overSkipped();
    // A block just recorded (the recorded channel, mono): with [Control] commands on, its DTMF
    // digits are listened for.
    void recorded(std::span<const std::uint8_t> Block);
    // How many of the over's Count blocks replayStarting left to replay: none when the over
    // held a DTMF command, which is answered instead.
    std::size_t replayedBlocks(std::size_t Count) const { return commandOver_ ? 0 : Count; }
    // Carries out a DTMF command given with the right code, on the program's thread: the
    // controller hands it to the same commands the web page gives. "Transmitter off" comes once
    // its answer has played; status is answered here. Unset: every command is refused ("ERR").
    std::function<control::Result(control::Command)> onCommand;
    // Seconds since the last identification; negative before the first.
    double secondsSinceIdentification() const;
    bool lockedOut() const { return locked_; }
    // Waiting with nothing recorded: a lone identification is due.
    bool identificationDue() const;

    // Releases the PTT at once (a replay that could not start). Never throws.
    void release() noexcept;

    // The transmitter switch is on. While it is off the controller replays nothing: it hands
    // each over to overNotSent instead, and no identification falls due.
    bool mayTransmit() const { return transmitter == nullptr || transmitter->on(); }
    // An over heard while the transmitter is off. A DTMF command in it is carried out unanswered,
    // but for one that switches the transmitter on: then it returns true, and the controller
    // starts the replay (replayStarting) that answers it. Otherwise the over is archived (its
    // report column says "not sent") and counted.
    bool overNotSent(std::span<const std::span<const std::uint8_t>> Over, std::size_t SignalBlocks);
    // Commands: each returns empty when taken, or why not. An identification asked for is sent
    // alone at the next moment the repeater waits with nothing recorded.
    std::string identifyNow();
    // Switches the report after each replay off, or back to the kind the settings name.
    std::string setReport(bool On);
    bool reportOn() const { return settings_.report != ReportKind::None && reportOn_; }
    const Tally& tally() const { return tally_; }
    // The archive's folder ([Station] ArchiveFolder); empty when overs are not archived.
    const std::string& archiveFolder() const { return settings_.archiveFolder; }
    // What the archive's folder holds, in bytes, as its worker last measured it (after each
    // over, or when asked to measure again); while stopped, the last figure.
    std::uint64_t archiveBytes() const { return archive_ ? archive_->bytes() : archiveBytes_; }
    void measureArchive() {
        if (archive_)
            archive_->measureSoon();
    }

private:
    // Any thread: the watchdog's backstop releases through here.
    void releaseLine() noexcept;
    void tripWatchdog();
    // Silence of a Morse word space at the identification's speed, between what the station
    // sends and a courtesy tone, which would otherwise read as one more element.
    Pcm wordSpace() const;
    std::int64_t durationNs(std::size_t Bytes) const;
    std::int64_t durationNs(const std::vector<Pcm>& Blocks) const;
    std::vector<Pcm> blocks(const Pcm& Audio) const;
    void deliverProblems();
    // The over's level and length; Audio gets the over in one piece.
    OverFigures measureOver(std::span<const std::span<const std::uint8_t>> Over,
                            std::size_t SignalBlocks, Pcm& Audio) const;
    Pcm morseReport(const std::string& Code) const;
    void archiveOver(const OverFigures& Figures, Pcm Audio, std::string Report, bool Identified,
                     std::string Dtmf = {});
    // Told once; reports go in Morse from then on.
    void speechLost(const std::string& Why);
    // A replay that ends or stops before its tail was taken: the speech is waited for and
    // dropped.
    void discardTail() noexcept;

    // The over's DTMF digits, logged and judged (none without [Control] commands).
    control::DtmfDecision judgeDigits();
    // Carries out the command judged, as far as it can be now (an "off" waits for its answer to
    // have played); one refused turns its answer into "ERR".
    void carryOut(control::DtmfDecision& Decision);
    // The answer to a DTMF command, in Morse (or spoken, as the report is).
    std::vector<Pcm> answer(const std::string& Text);
    std::string statusText() const;

    Settings settings_;
    control::DtmfSettings control_;
    std::string loadError_;
    bool loaded_ = false;
    TWaveFormat mono_ = TWaveFormat::wfUnknown;
    std::uint32_t blockBytes_ = 0;
    Pcm identification_;
    Squelch squelch_;
    SquelchFigures figures_;
    std::unique_ptr<Speech> speech_;
    bool speechFailed_ = false;
    std::future<Pcm> speaking_; // the spoken report being made
    std::string spokenCode_;    // in Morse, should the speech fail
    std::vector<Pcm> tail_;     // what follows the report
    std::unique_ptr<Archive> archive_;
    std::uint64_t archiveBytes_ = 0;
    std::uint32_t longestOverMs_ = 0;

    // The line and whether it is keyed, shared with the watchdog's backstop thread.
    std::mutex lineMutex_;
    std::unique_ptr<PttLine> line_;
    bool keyed_ = false;
    // What the transmission being planned may last, and whether the watchdog ended it.
    std::int64_t allowedNs_ = 0;
    bool cutOff_ = false;
    std::uint64_t watchdogTrips_ = 0;
    // When the transmission under way was keyed (the program's thread); 0: none.
    std::int64_t transmittingSinceNs_ = 0;

    std::int64_t lastIdNs_ = 0;
    bool identifiedEver_ = false;
    bool transmittedSinceId_ = false;

    // Control over the air: the receiver, the codes and lockout, and what the over held.
    std::unique_ptr<DtmfReceiver> dtmf_;
    std::unique_ptr<control::DtmfControl> commands_;
    bool commandOver_ = false;
    // A command that switched the transmitter on while it was off, for the replay that answers it.
    std::optional<control::DtmfDecision> judged_;
    bool switchOffAfter_ = false;
    bool reportOn_ = true;
    std::int64_t startedNs_ = 0;
    int day_ = -1;            // the local day overs are counted for
    std::uint32_t overs_ = 0; // replayed that day
    bool running_ = false;
    bool identifyAsked_ = false;
    Tally tally_;

    bool locked_ = false;
    bool lockArmed_ = false;
    bool awaitingSignal_ = false;

    // Last: it goes first, so its thread never outlives the line.
    TransmitWatchdog watchdog_{[this] { releaseLine(); }};
};

} // namespace station
