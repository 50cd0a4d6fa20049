// The password file that mosquitto_passwd writes: one `user:hash` line per user,
// the hash being $7$<iterations>$<salt>$<key> (PBKDF2-HMAC-SHA512) or, from older
// versions, $6$<salt>$<digest> (SHA-512 of password and salt); salts and hashes in
// base64.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tarnu_unseal {

class PasswordFile {
public:
    enum class Check { match, mismatch, unknownUser };

    // Takes the users of a whole file's text; on failure keeps the users it had,
    // returns false and says why (with the line number) in `problem`.
    bool parse(std::string_view text, std::string &problem);
    std::size_t size() const { return entries.size(); }
    // Constant-time comparison; an unknown user costs a hash all the same.
    Check check(const std::string &user, std::string_view password) const;

    struct Entry {
        bool pbkdf2 = true;  // else the older salted SHA-512
        int iterations = 0;
        std::vector<unsigned char> salt;
        std::vector<unsigned char> hash;
    };

private:
    std::unordered_map<std::string, Entry> entries;
};

}  // namespace tarnu_unseal
