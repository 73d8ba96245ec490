#include "remote/Accounts.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <sodium.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace remote {
namespace {

bool validName(const std::string& name) {
    if (name.empty() || name.size() > 32)
        return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-')
            return false;
    return true;
}

void initSodium() {
    if (sodium_init() < 0)
        throw AccountsError("libsodium cannot start");
}

void store(const std::filesystem::path& file, const std::vector<Account>& accounts) {
    std::string text;
    for (const auto& a : accounts)
        text += a.name + ":" + roleName(a.role) + ":" + a.hash + "\n";
    const std::string temporary = file.string() + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        throw AccountsError(file.string() + " cannot be written: " + std::strerror(errno));
    ::fchmod(fd, 0600);
    const bool written =
        ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
        ::fsync(fd) == 0;
    ::close(fd);
    if (!written || std::rename(temporary.c_str(), file.c_str()) != 0) {
        ::unlink(temporary.c_str());
        throw AccountsError(file.string() + " cannot be written: " + std::strerror(errno));
    }
}

// One line of the terminal without echo; or a plain line when standard input is not one.
std::optional<std::string> readPassword(const char* prompt) {
    const bool tty = ::isatty(STDIN_FILENO);
    termios saved{};
    if (tty) {
        std::cerr << prompt << std::flush;
        ::tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    const bool got = static_cast<bool>(std::getline(std::cin, line));
    if (tty) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::cerr << "\n";
    }
    if (!got)
        return std::nullopt;
    return line;
}

} // namespace

const char* roleName(Role role) {
    return role == Role::Control ? "control" : "guest";
}

std::optional<Role> roleNamed(const std::string& name) {
    if (name == "control")
        return Role::Control;
    if (name == "guest")
        return Role::Guest;
    return std::nullopt;
}

std::vector<Account> loadAccounts(const std::filesystem::path& file) {
    std::vector<Account> accounts;
    std::error_code ec;
    if (!std::filesystem::exists(file, ec) && !ec)
        return accounts;
    std::ifstream in(file);
    // One the service's user cannot read (made by another user, mode 0600) is not "no file".
    if (!in)
        throw AccountsError(file.string() +
                            " cannot be read by this user: " + std::strerror(errno));
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line.empty())
            continue;
        const auto first = line.find(':');
        const auto second = first == std::string::npos ? first : line.find(':', first + 1);
        const auto role = second == std::string::npos
                              ? std::nullopt
                              : roleNamed(line.substr(first + 1, second - first - 1));
        if (!role || !validName(line.substr(0, first)) ||
            !line.substr(second + 1).starts_with("$argon2id$"))
            throw AccountsError(file.string() + " line " + std::to_string(number) +
                                " is not NAME:ROLE:ARGON2ID-HASH");
        accounts.push_back({line.substr(0, first), *role, line.substr(second + 1)});
    }
    return accounts;
}

std::optional<Role> verify(const std::vector<Account>& accounts, const std::string& name,
                           const std::string& password) {
    initSodium();
    for (const auto& a : accounts)
        if (a.name == name)
            return crypto_pwhash_str_verify(a.hash.c_str(), password.data(), password.size()) == 0
                       ? std::optional(a.role)
                       : std::nullopt;
    // The same work for a name that does not exist, so that the time tells nothing.
    static const std::string decoy = [] {
        char out[crypto_pwhash_STRBYTES];
        if (crypto_pwhash_str(out, "x", 1, crypto_pwhash_OPSLIMIT_INTERACTIVE,
                              crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
            return std::string();
        return std::string(out);
    }();
    if (!decoy.empty() &&
        crypto_pwhash_str_verify(decoy.c_str(), password.data(), password.size()) == 0)
        return std::nullopt;
    return std::nullopt;
}

void addAccount(const std::filesystem::path& file, const std::string& name, Role role,
                const std::string& password) {
    initSodium();
    if (!validName(name))
        throw AccountsError("an account's name is 1 to 32 letters, digits, '.', '_' or '-'");
    if (password.size() < 8)
        throw AccountsError("the password is shorter than 8 characters");
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, password.data(), password.size(),
                          crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        throw AccountsError("the password could not be hashed (out of memory)");
    auto accounts = loadAccounts(file);
    std::erase_if(accounts, [&](const Account& a) { return a.name == name; });
    accounts.push_back({name, role, hash});
    store(file, accounts);
}

bool removeAccount(const std::filesystem::path& file, const std::string& name) {
    auto accounts = loadAccounts(file);
    const auto removed = std::erase_if(accounts, [&](const Account& a) { return a.name == name; });
    if (removed > 0)
        store(file, accounts);
    return removed > 0;
}

int addAccountCommand(const std::filesystem::path& file, const std::string& name,
                      const std::string& role) {
    try {
        const auto r = roleNamed(role);
        if (!r) {
            std::cerr << "quorim: --role needs control or guest" << std::endl;
            return 2;
        }
        const auto password = readPassword("Password: ");
        if (!password) {
            std::cerr << "quorim: no password was given" << std::endl;
            return 1;
        }
        if (::isatty(STDIN_FILENO)) {
            const auto again = readPassword("Again: ");
            if (!again || *again != *password) {
                std::cerr << "quorim: the two passwords differ" << std::endl;
                return 1;
            }
        }
        addAccount(file, name, *r, *password);
        std::cout << "account " << name << " (" << role << ") stored in " << file.string()
                  << std::endl;
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "quorim: " << e.what() << std::endl;
        return 1;
    }
}

int removeAccountCommand(const std::filesystem::path& file, const std::string& name) {
    try {
        if (!removeAccount(file, name)) {
            std::cerr << "quorim: there is no account " << name << " in " << file.string()
                      << std::endl;
            return 1;
        }
        std::cout << "account " << name << " removed from " << file.string() << std::endl;
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "quorim: " << e.what() << std::endl;
        return 1;
    }
}

} // namespace remote
