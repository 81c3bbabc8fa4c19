#include "backup-server/store/KeySource.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "backup-server/store/StoreError.h"

namespace backup_server {

namespace fs = std::filesystem;

KeySecret::KeySecret(SecretKind kind, std::string bytes, std::string origin)
    : kind(kind), bytes(std::move(bytes)), origin(std::move(origin)) {}

KeySecret::~KeySecret() {
    OPENSSL_cleanse(bytes.data(), bytes.size());
}

namespace {

std::string readSmallFile(const fs::path& file, const char* what) {
    std::error_code error;
    auto size = fs::file_size(file, error);
    if (error)
        ZENTRAD_THROW(StoreError, std::string("Cannot read the ") + what + " " + file.string() +
                                      ": " + error.message());
    if (size > 4096)
        ZENTRAD_THROW(StoreError, std::string("The ") + what + " " + file.string() +
                                      " is longer than 4096 bytes");
    std::ifstream in(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof())
        ZENTRAD_THROW(StoreError, std::string("Cannot read the ") + what + " " + file.string());
    return bytes;
}

}  // namespace

KeySource KeySource::fromOptions(const std::optional<std::string>& passwordFile,
                                 const std::optional<std::string>& keyFile) {
    KeySource source;
    if (passwordFile) {
        source.passwordFile = *passwordFile;
    } else if (const char* named = std::getenv("ZENTRAD_PASSWORD_FILE");
               named != nullptr && *named != '\0') {
        source.passwordFile = named;
    }
    if (keyFile)
        source.keyFile = *keyFile;
    source.prompt = ::isatty(STDIN_FILENO) == 1;
    return source;
}

std::optional<KeySecret> KeySource::secret(const std::string& promptText) const {
    if (keyFile)
        return KeySecret(SecretKind::keyFile, readKeyFile(*keyFile),
                         "key file " + keyFile->string());
    if (passwordFile) {
        return KeySecret(SecretKind::passphrase, readPassphraseFile(*passwordFile),
                         "passphrase in " + passwordFile->string());
    }
    if (prompt) {
        if (std::optional<std::string> typed = promptPassphrase(promptText))
            return KeySecret(SecretKind::passphrase, std::move(*typed), "passphrase typed");
    }
    return std::nullopt;
}

std::string readPassphraseFile(const fs::path& file) {
    std::string text = readSmallFile(file, "password file");
    std::size_t end = text.find('\n');
    std::string passphrase = text.substr(0, end);
    if (!passphrase.empty() && passphrase.back() == '\r')
        passphrase.pop_back();
    OPENSSL_cleanse(text.data(), text.size());
    if (passphrase.empty())
        ZENTRAD_THROW(StoreError, "The password file " + file.string() +
                                      " holds no passphrase on its first line");
    return passphrase;
}

std::string readKeyFile(const fs::path& file) {
    std::string bytes = readSmallFile(file, "key file");
    if (bytes.size() < 16)
        ZENTRAD_THROW(StoreError, "The key file " + file.string() + " is shorter than 16 bytes");
    return bytes;
}

void createKeyFile(const fs::path& file) {
    unsigned char random[32];
    if (RAND_bytes(random, sizeof random) != 1)
        ZENTRAD_THROW(StoreError, "No random bytes for a key file");
    std::string text;
    static const char digits[] = "0123456789abcdef";
    for (unsigned char byte : random) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 15]);
    }
    text.push_back('\n');
    OPENSSL_cleanse(random, sizeof random);
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        ZENTRAD_THROW(StoreError,
                      "Cannot create the key file " + file.string() + ": " + std::strerror(errno));
    bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                   ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    OPENSSL_cleanse(text.data(), text.size());
    if (!written)
        ZENTRAD_THROW(StoreError, "Cannot write the key file " + file.string());
}

std::optional<std::string> promptPassphrase(const std::string& text) {
    int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    termios saved{};
    bool terminal = ::tcgetattr(fd, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    std::string prompt = text + ": ";
    ssize_t ignored = ::write(fd, prompt.data(), prompt.size());
    std::string line;
    char c = 0;
    while (::read(fd, &c, 1) == 1 && c != '\n')
        line.push_back(c);
    if (terminal)
        ::tcsetattr(fd, TCSAFLUSH, &saved);
    ignored = ::write(fd, "\n", 1);
    (void)ignored;
    ::close(fd);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.empty())
        return std::nullopt;
    return line;
}

}  // namespace backup_server
