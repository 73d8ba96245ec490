// The page's accounts: one line per account, "NAME:ROLE:HASH", the hash an Argon2id string from
// libsodium. The file is created with mode 0600. Without it nobody can log in.
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace remote {

enum class Role { Guest, Control };

const char* roleName(Role role);
std::optional<Role> roleNamed(const std::string& name);

class AccountsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Account {
    std::string name;
    Role role = Role::Guest;
    std::string hash;
};

// Reads the file; a missing one holds no account. Throws AccountsError for a file or a line it
// cannot read.
std::vector<Account> loadAccounts(const std::filesystem::path& file);
// The account's role when the password is right. Slow by design (Argon2id): call off the
// program's thread.
std::optional<Role> verify(const std::vector<Account>& accounts, const std::string& name,
                           const std::string& password);
// Adds or replaces an account; the file is rewritten atomically with mode 0600.
void addAccount(const std::filesystem::path& file, const std::string& name, Role role,
                const std::string& password);
// False when there was no such account.
bool removeAccount(const std::filesystem::path& file, const std::string& name);

// `quorim --add-account NAME --role ROLE`: asks for the password twice without echo on a
// terminal, or reads one line from standard input. Returns the exit status.
int addAccountCommand(const std::filesystem::path& file, const std::string& name,
                      const std::string& role);
int removeAccountCommand(const std::filesystem::path& file, const std::string& name);

} // namespace remote
