#include "control/DtmfControl.h"

#include <algorithm>
#include <stdexcept>

#include "control/Totp.h"
#include "toolkit/IniFiles.h"

namespace control {

DtmfSettings readDtmfSettings(const IniFiles::TIniFile& Ini, const std::filesystem::path& Folder) {
    DtmfSettings s;
    const std::string secret = Ini.ReadString(SectionControl, "TotpSecretFile", "");
    const std::string pin = Ini.ReadString(SectionControl, "Pin", "");
    const std::string at = std::string("settings [") + SectionControl + "] ";
    if (!secret.empty() && !pin.empty())
        throw std::runtime_error(at + "TotpSecretFile and Pin cannot both be set: choose one");
    if (!pin.empty() && (pin.size() < 4 || pin.size() > 16 ||
                         pin.find_first_not_of("0123456789ABCD") != std::string::npos))
        throw std::runtime_error(at + "Pin=" + pin +
                                 " cannot be used: it must be 4 to 16 of the keys 0-9 and A-D");
    if (!secret.empty())
        s.totpSecretFile = Folder / std::filesystem::path(secret); // an absolute one stays
    s.pin = pin;
    return s;
}

DtmfControl::DtmfControl(const DtmfSettings& S) : pin_(S.pin) {
    if (!S.totpSecretFile.empty())
        totp_ = std::make_unique<Totp>(S.totpSecretFile);
}

DtmfControl::~DtmfControl() = default;

bool DtmfControl::codeRight(const std::string& Code, std::int64_t Now) {
    // The code is what comes last before the '*': a stray key before it does no harm.
    const std::size_t length = totp_ ? TotpDigits : pin_.size();
    const std::string code = Code.size() > length ? Code.substr(Code.size() - length) : Code;
    if (totp_)
        return totp_->accept(code, Now);
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
    static constexpr std::pair<const char*, DtmfCommand> commands[] = {
        {"0", DtmfCommand::TransmitterOff}, {"1", DtmfCommand::TransmitterOn},
        {"2", DtmfCommand::IdentifyNow},    {"3", DtmfCommand::ReportOn},
        {"4", DtmfCommand::ReportOff},      {"5", DtmfCommand::Status},
    };
    for (const auto& [digits, command] : commands)
        if (number == digits) {
            d.run = command;
            d.answer = command == DtmfCommand::TransmitterOff ? "TX OFF" : "OK";
            d.log = "DTMF command " + number + " taken";
            return d;
        }
    d.log = "DTMF command " + number + " is not one the station knows";
    return d;
}

} // namespace control
