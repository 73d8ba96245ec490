#include "control/Totp.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <oath.h>
#include <stdexcept>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace control {
namespace {

// liboath keeps no global state its functions need beyond this, once for the process.
void initialise() {
    static const int status = oath_init();
    if (status != OATH_OK)
        throw std::runtime_error(std::string("liboath cannot start: ") + oath_strerror(status));
}

struct FreeChars {
    void operator()(char* p) const { std::free(p); }
};

std::string trimmed(std::string s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    const auto last = s.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? std::string() : s.substr(first, last - first + 1);
}

std::string percentEncoded(const std::string& s) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : s) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

} // namespace

Totp::Totp(const std::filesystem::path& Path) {
    initialise();
    struct stat st {};
    if (::stat(Path.c_str(), &st) != 0)
        throw std::runtime_error(Path.string() + " cannot be read: " + std::strerror(errno));
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        throw std::runtime_error(Path.string() +
                                 " may be read by others than its owner: chmod 600 it");
    std::ifstream in(Path);
    std::string text;
    if (!in || !std::getline(in, text))
        throw std::runtime_error(Path.string() + " cannot be read");
    text = trimmed(text);
    char* raw = nullptr;
    std::size_t length = 0;
    const int status = oath_base32_decode(text.data(), text.size(), &raw, &length);
    std::unique_ptr<char, FreeChars> owned(raw);
    if (status != OATH_OK || length < 10)
        throw std::runtime_error(Path.string() + " holds no base32 secret of at least 80 bits");
    secret_.assign(raw, length);
}

std::string Totp::code(std::int64_t Now) const {
    std::array<char, TotpDigits + 1> out{};
    const int status = oath_totp_generate(secret_.data(), secret_.size(), static_cast<time_t>(Now),
                                          TotpStepSeconds, 0, TotpDigits, out.data());
    if (status != OATH_OK)
        throw std::runtime_error(std::string("liboath: ") + oath_strerror(status));
    return out.data();
}

bool Totp::accept(const std::string& Code, std::int64_t Now) {
    if (Code.size() != TotpDigits)
        return false;
    int position = 0;
    const int status = oath_totp_validate2(secret_.data(), secret_.size(), static_cast<time_t>(Now),
                                           TotpStepSeconds, 0, 1, &position, Code.c_str());
    if (status < 0)
        return false;
    const std::int64_t step = Now / TotpStepSeconds + position;
    if (step <= lastStep_)
        return false;
    lastStep_ = step;
    return true;
}

std::string newTotpSecret() {
    initialise();
    std::array<char, 20> key{};
    if (getrandom(key.data(), key.size(), 0) != static_cast<ssize_t>(key.size()))
        throw std::runtime_error(std::string("no random numbers: ") + std::strerror(errno));
    char* text = nullptr;
    std::size_t length = 0;
    const int status = oath_base32_encode(key.data(), key.size(), &text, &length);
    std::unique_ptr<char, FreeChars> owned(text);
    if (status != OATH_OK)
        throw std::runtime_error(std::string("liboath: ") + oath_strerror(status));
    return std::string(text, length);
}

void writeTotpSecret(const std::filesystem::path& Path, const std::string& Base32) {
    const int fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::runtime_error(Path.string() + " cannot be written: " + std::strerror(errno) +
                                 (errno == EEXIST ? " (remove it to make a new secret)" : ""));
    const std::string line = Base32 + "\n";
    const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    if (!written || !synced) {
        std::filesystem::remove(Path);
        throw std::runtime_error(Path.string() + " cannot be written: the disk took only part");
    }
}

std::string otpauthUri(const std::string& Base32, const std::string& Account) {
    std::string secret;
    for (const char c : Base32)
        if (c != '=')
            secret += c;
    return "otpauth://totp/Quorim:" + percentEncoded(Account) + "?secret=" + secret +
           "&issuer=Quorim&algorithm=SHA1&digits=" + std::to_string(TotpDigits) +
           "&period=" + std::to_string(TotpStepSeconds);
}

} // namespace control
