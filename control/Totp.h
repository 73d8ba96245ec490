// Time-based one-time codes (RFC 6238: HMAC-SHA1, 6 digits, 30 s steps) through liboath, for
// control over the air: a code is taken within one step either side of now, and once only, so
// that a code overheard on the air cannot be sent again.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>

namespace control {

inline constexpr unsigned TotpDigits = 6;
inline constexpr unsigned TotpStepSeconds = 30;

class Totp {
public:
    // The secret from Path: its base32 text, as an authenticator app shows it. Throws
    // std::runtime_error naming the file when it cannot be read, is not base32, or is open to
    // anyone but its owner.
    explicit Totp(const std::filesystem::path& Path);

    // Code at Unix time Now: true once for a code of this step or one either side, never again
    // for it nor for any code of an earlier step than the last one taken.
    bool accept(const std::string& Code, std::int64_t Now);
    // The time step of the last code taken, and a step a code must come after (kept across a
    // restart, so that a code heard on the air before it cannot be sent again after it).
    std::int64_t lastStep() const { return lastStep_; }
    void takenUpTo(std::int64_t Step) { lastStep_ = std::max(lastStep_, Step); }
    // The code of the step at Now (for tests and set-up).
    std::string code(std::int64_t Now) const;

private:
    std::string secret_; // the raw key
    std::int64_t lastStep_ = INT64_MIN;
};

// A new random 160-bit secret as base32 text.
std::string newTotpSecret();
// Writes Base32 to Path, readable by its owner alone; never over a file already there. Throws
// std::runtime_error saying why it cannot.
void writeTotpSecret(const std::filesystem::path& Path, const std::string& Base32);
// The secret as an authenticator app takes it from a QR code or a link.
std::string otpauthUri(const std::string& Base32, const std::string& Account);

} // namespace control
