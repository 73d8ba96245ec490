#include "control/DtmfControl.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "control/StateFile.h"
#include "control/Totp.h"
#include "toolkit/IniFiles.h"
#include "toolkit/SectionReader.h"
#include "toolkit/SysUtils.h"

namespace control {
namespace {

// Where the state file keeps the last time step a code was taken for.
constexpr const char* TotpStepKey = "totp-step";

bool pinKeys(const std::string& Pin) {
    return Pin.size() >= 4 && Pin.size() <= 16 &&
           Pin.find_first_not_of("0123456789ABCD") == std::string::npos;
}

} // namespace

DtmfSettings readDtmfSettings(const IniFiles::TIniFile& Ini, std::vector<std::string>* Notices) {
    DtmfSettings s;
    std::string secret;
    settings::SectionReader r(Ini, SectionControl);
    r.read({
        settings::path("TotpSecretFile", secret),
        settings::text("Pin", s.pin, pinKeys, "4 to 16 of the keys 0-9 and A-D"),
    });
    if (!secret.empty() && !s.pin.empty())
        r.refuse("Pin", s.pin, "with TotpSecretFile set, no Pin (choose one)");
    if (Notices != nullptr)
        Notices->insert(Notices->end(), r.notices().begin(), r.notices().end());
    try {
        r.throwIfRefused();
    } catch (const SysUtils::Exception& e) {
        throw std::runtime_error(e.Message());
    }
    s.totpSecretFile = secret;
    s.stateFile = stateFileFor(Ini.FileName());
    return s;
}

std::optional<Command> dtmfCommand(const std::string& Number) {
    static constexpr std::pair<const char*, Command> numbers[] = {
        {"0", Command::TransmitterOff}, {"1", Command::TransmitterOn}, {"2", Command::IdentifyNow},
        {"3", Command::ReportOn},       {"4", Command::ReportOff},     {"5", Command::Status},
    };
    for (const auto& [digits, command] : numbers)
        if (Number == digits)
            return command;
    return std::nullopt;
}

DtmfControl::DtmfControl(const DtmfSettings& S) : stateFile_(S.stateFile), pin_(S.pin) {
    if (S.totpSecretFile.empty())
        return;
    try {
        totp_ = std::make_unique<Totp>(S.totpSecretFile);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(std::string("settings [") + SectionControl +
                                 "] TotpSecretFile: " + e.what());
    }
    if (stateFile_.empty())
        return;
    // A code taken before a restart stays taken. A file that cannot be read stops the start:
    // without it, a code heard on the air could be sent again.
    const auto step = stateValue(readState(stateFile_), TotpStepKey);
    if (step) {
        try {
            totp_->takenUpTo(std::stoll(*step));
        } catch (const std::exception&) {
            throw std::runtime_error(stateFile_.string() + " says '" + TotpStepKey + "=" + *step +
                                     "' instead of a time step: remove the line to go on");
        }
    }
}

DtmfControl::~DtmfControl() = default;

bool DtmfControl::codeRight(const std::string& Code, std::int64_t Now) {
    // The code is what comes last before the '*': a stray key before it does no harm.
    const std::size_t length = totp_ ? TotpDigits : pin_.size();
    const std::string code = Code.size() > length ? Code.substr(Code.size() - length) : Code;
    if (totp_) {
        if (!totp_->accept(code, Now))
            return false;
        try {
            if (!stateFile_.empty())
                storeState(stateFile_, TotpStepKey, std::to_string(totp_->lastStep()));
        } catch (const std::runtime_error& e) {
            unkept_ = e.what();
        }
        return true;
    }
    return !pin_.empty() && code == pin_;
}

DtmfDecision DtmfControl::judge(const std::string& Digits, std::int64_t Now, double Steady) {
    DtmfDecision d;
    d.shown = Digits;
    // A command ends the over's digits with '#'; digits before an earlier '#' are not part of it.
    if (Digits.empty() || Digits.back() != '#')
        return d;
    const std::size_t begin = Digits.find_last_of('#', Digits.size() - 2);
    const std::string attempt =
        Digits.substr(begin == std::string::npos || Digits.size() < 2 ? 0 : begin + 1);
    const std::size_t star = attempt.find_last_of('*');
    if (star == std::string::npos)
        return d;
    d.command = true;
    d.answer = "ERR";
    const std::size_t codeAt = Digits.size() - attempt.size();
    std::fill_n(d.shown.begin() + static_cast<std::ptrdiff_t>(codeAt), star, 'x');
    if (lockedUntil_ && Steady < *lockedUntil_) {
        d.log = "DTMF control is locked out after five wrong codes: the command is ignored";
        return d;
    }
    lockedUntil_.reset();
    if (!codeRight(attempt.substr(0, star), Now)) {
        // The oldest of the last five wrong codes, if they all came within the window, locks.
        if (wrongCount_ == MaxWrong) {
            std::rotate(wrong_.begin(), wrong_.begin() + 1, wrong_.end());
            wrong_.back() = Steady;
        } else {
            wrong_[static_cast<std::size_t>(wrongCount_++)] = Steady;
        }
        d.log = "DTMF command refused: the code is wrong or was used before";
        if (wrongCount_ == MaxWrong && Steady - wrong_.front() <= WrongWindowS) {
            lockedUntil_ = Steady + LockoutS;
            wrongCount_ = 0;
            d.log += "; five wrong codes in ten minutes lock DTMF control out for ten minutes";
        }
        return d;
    }
    const std::string number = attempt.substr(star + 1, attempt.size() - star - 2);
    if (const auto command = dtmfCommand(number)) {
        d.run = command;
        d.answer = command == Command::TransmitterOff ? "TX OFF" : "OK";
        d.log = "DTMF command " + number + " (" + std::string(wordOf(*command)) + ") taken";
    } else {
        d.log = "DTMF command " + number + " is not one the station knows";
    }
    if (!unkept_.empty())
        d.log += "; its code is not kept for after a restart: " + std::exchange(unkept_, {});
    return d;
}

} // namespace control
