// Where the secret that unlocks an encrypted store comes from: a passphrase read from the
// file named by --password-file (or by the environment variable ZENTRAD_PASSWORD_FILE),
// a key file named by --key-file, or, when neither is given and standard input is a
// terminal, a passphrase typed at a prompt without echo. Never from the command line
// itself, where other users of the machine could read it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace backup_server {

enum class SecretKind : unsigned char { passphrase = 1, keyFile = 2 };

// A passphrase or a key file's bytes; wiped when it goes.
struct KeySecret {
    SecretKind kind = SecretKind::passphrase;
    std::string bytes;
    std::string origin;  // where it came from, for messages

    KeySecret() = default;
    KeySecret(SecretKind kind, std::string bytes, std::string origin);
    KeySecret(const KeySecret&) = default;
    KeySecret& operator=(const KeySecret&) = default;
    ~KeySecret();
};

struct KeySource {
    std::optional<std::filesystem::path> passwordFile;
    std::optional<std::filesystem::path> keyFile;
    bool prompt = false;  // ask on the terminal when neither file is given

    // --password-file (or ZENTRAD_PASSWORD_FILE when it is not given) and --key-file; a
    // prompt when standard input is a terminal.
    static KeySource fromOptions(const std::optional<std::string>& passwordFile,
                                 const std::optional<std::string>& keyFile);
    bool given() const { return passwordFile || keyFile; }
    // The secret, or nothing when no source is given and no terminal can be asked.
    // Throws StoreError when a named file cannot be read or is unfit.
    std::optional<KeySecret> secret(const std::string& promptText) const;
};

// The passphrase in a file: its first line, without the line end. Throws
// StoreError for a missing, unreadable or empty one.
std::string readPassphraseFile(const std::filesystem::path& file);
// A key file's bytes (16 to 4096). Throws StoreError otherwise.
std::string readKeyFile(const std::filesystem::path& file);
// Writes a new key file of 32 random bytes (as 64 hex digits), mode 0600; refuses to
// replace a file. Throws StoreError.
void createKeyFile(const std::filesystem::path& file);
// Asks on the terminal without echo; nothing when there is no terminal.
std::optional<std::string> promptPassphrase(const std::string& text);

// How to give a store its passphrase, for messages.
inline constexpr const char* kHowToGiveSecret =
    "give its passphrase in a file with --password-file FILE or the environment variable "
    "ZENTRAD_PASSWORD_FILE=FILE, or a key file with --key-file FILE";

}  // namespace backup_server
