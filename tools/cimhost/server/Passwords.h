// The users `cimhost serve` admits: a file of salted password hashes, one
// user a line,
//   user:pbkdf2-sha256:ITERATIONS:SALT:HASH
// with SALT (16 random bytes) and HASH (32 bytes of PBKDF2-HMAC-SHA256) in
// hex. Nothing in it gives a password back, so it may be read by the
// service's account without exposing anyone's password.
#pragma once

#include <map>
#include <mutex>
#include <string>

namespace cimhost {
namespace server {

class Passwords {
public:
    // Reads the file; false with *error (file, line, reason) when it cannot
    // be read, a line is malformed, or it names nobody.
    bool load(const std::string& path, std::string* error);

    // Whether `password` is user's. Safe from several threads. A right
    // password costs one full hash the first time and a short one after;
    // a wrong one always costs the full hash.
    bool check(const std::string& user, const std::string& password) const;

    // Adds `user` to the file at `path` or gives it a new password (fresh
    // salt), creating the file readable by its owner only; the other lines
    // stay as they are. False with *error for a user name that cannot be
    // written (empty, ':' or a line break), an empty password, or a file
    // that cannot be read or written.
    static bool set(const std::string& path, const std::string& user, const std::string& password,
                    std::string* error);

private:
    struct Entry {
        unsigned iterations = 0;
        std::string salt;  // bytes
        std::string hash;  // bytes
    };
    std::map<std::string, Entry> users_;
    // user -> SHA-256 of salt and password last found right.
    mutable std::mutex mutex_;
    mutable std::map<std::string, std::string> verified_;
};

}  // namespace server
}  // namespace cimhost
