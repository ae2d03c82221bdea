#include "server/Passwords.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace cimhost {
namespace server {
namespace {

const char kScheme[] = "pbkdf2-sha256";
constexpr unsigned kIterations = 100000;
constexpr size_t kSaltBytes = 16, kHashBytes = 32;

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

bool unhex(const std::string& text, std::string* out) {
    if (text.size() % 2) return false;
    out->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = text.substr(i, 2);
        const long v = strtol(pair.c_str(), &end, 16);
        if (!end || *end || !isxdigit(static_cast<unsigned char>(pair[0]))) return false;
        *out += static_cast<char>(v);
    }
    return true;
}

std::string pbkdf2(const std::string& password, const std::string& salt, unsigned iterations) {
    std::string out(kHashBytes, '\0');
    PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                      reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()),
                      static_cast<int>(iterations), EVP_sha256(), static_cast<int>(out.size()),
                      reinterpret_cast<unsigned char*>(&out[0]));
    return out;
}

std::string sha256(const std::string& a, const std::string& b) {
    std::string both = a + b;
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(both.data()), both.size(), digest);
    OPENSSL_cleanse(&both[0], both.size());
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

bool sameBytes(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string f; std::getline(in, f, ':');) out.push_back(f);
    return out;
}

}  // namespace

bool Passwords::load(const std::string& path, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read the password file " + path;
        return false;
    }
    std::map<std::string, Entry> users;
    unsigned number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line.empty() || line[0] == '#') continue;
        const std::vector<std::string> f = fields(line);
        Entry e;
        char* end = nullptr;
        if (f.size() == 5 && f[1] == kScheme)
            e.iterations = static_cast<unsigned>(strtoul(f[2].c_str(), &end, 10));
        if (f.size() != 5 || f[0].empty() || f[1] != kScheme || !end || *end || e.iterations == 0 ||
            !unhex(f[3], &e.salt) || !unhex(f[4], &e.hash) || e.hash.size() != kHashBytes) {
            *error = path + ":" + std::to_string(number) + ": not user:" + kScheme + ":ITERATIONS:SALT:HASH";
            return false;
        }
        users[f[0]] = std::move(e);
    }
    if (users.empty()) {
        *error = path + " names no user (add one with cimhost passwd)";
        return false;
    }
    users_ = std::move(users);
    return true;
}

bool Passwords::check(const std::string& user, const std::string& password) const {
    const auto it = users_.find(user);
    // An unknown user costs the same hash as a known one, so that the time
    // of an answer does not tell which users exist.
    static const Entry nobody{kIterations, std::string(kSaltBytes, '\0'), std::string(kHashBytes, '\0')};
    const Entry& e = it == users_.end() ? nobody : it->second;
    const std::string quick = sha256(e.salt, password);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto v = verified_.find(user);
        if (it != users_.end() && v != verified_.end() && sameBytes(v->second, quick)) return true;
    }
    const bool right = sameBytes(pbkdf2(password, e.salt, e.iterations), e.hash) && it != users_.end();
    if (right) {
        std::lock_guard<std::mutex> lock(mutex_);
        verified_[user] = quick;
    }
    return right;
}

bool Passwords::set(const std::string& path, const std::string& user, const std::string& password,
                    std::string* error) {
    if (user.empty() || user.find_first_of(":\r\n") != std::string::npos) {
        *error = "a user name must not be empty nor hold ':' or a line break";
        return false;
    }
    if (password.empty()) {
        *error = "an empty password is no password";
        return false;
    }
    std::vector<std::string> lines;
    {
        std::ifstream in(path);
        if (!in && access(path.c_str(), F_OK) == 0) {
            *error = "cannot read " + path;
            return false;
        }
        for (std::string line; std::getline(in, line);)
            if (fields(line).empty() || fields(line)[0] != user) lines.push_back(line);
    }
    std::string salt(kSaltBytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&salt[0]), static_cast<int>(salt.size())) != 1) {
        *error = "no random bytes for a salt";
        return false;
    }
    lines.push_back(user + ":" + kScheme + ":" + std::to_string(kIterations) + ":" + hex(salt) + ":" +
                    hex(pbkdf2(password, salt, kIterations)));
    // Written beside and renamed over, so that a server reading the file
    // never sees half of it.
    const std::string temporary = path + ".new";
    const mode_t old = umask(077);
    std::ofstream out(temporary, std::ios::trunc);
    umask(old);
    for (const std::string& line : lines) out << line << '\n';
    out.close();
    if (!out || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace server
}  // namespace cimhost
