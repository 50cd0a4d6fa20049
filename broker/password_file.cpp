#include "password_file.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <climits>
#include <memory>

namespace tarnu_unseal {
namespace {

constexpr std::size_t kHashSize = 64;  // SHA-512, the size mosquitto_passwd stores

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) {
            return parts;
        }
        text.remove_prefix(at + 1);
    }
}

// Standard base64 with padding, as mosquitto_passwd writes it.
bool decodeBase64(std::string_view text, std::vector<unsigned char> &out) {
    if (text.empty() || text.size() % 4 != 0 || text.size() > 1024) {
        return false;
    }
    out.resize(text.size() / 4 * 3);
    const int decoded = EVP_DecodeBlock(out.data(),
                                        reinterpret_cast<const unsigned char *>(text.data()),
                                        static_cast<int>(text.size()));
    if (decoded != static_cast<int>(out.size())) {
        return false;
    }
    const std::size_t padding = text.back() != '=' ? 0 : text[text.size() - 2] == '=' ? 2 : 1;
    out.resize(out.size() - padding);
    return !out.empty();
}

bool parseCount(std::string_view text, int &count) {
    if (text.empty() || text.size() > 9) {
        return false;
    }
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    count = static_cast<int>(value);
    return count > 0;
}

// "$7$<iterations>$<salt>$<key>" or "$6$<salt>$<digest>".
bool parseHash(std::string_view text, PasswordFile::Entry &entry) {
    const std::vector<std::string_view> parts = split(text, '$');
    bool ok = false;
    if (parts.size() == 5 && parts[0].empty() && parts[1] == "7") {
        entry.pbkdf2 = true;
        ok = parseCount(parts[2], entry.iterations) && decodeBase64(parts[3], entry.salt) &&
             decodeBase64(parts[4], entry.hash);
    } else if (parts.size() == 4 && parts[0].empty() && parts[1] == "6") {
        entry.pbkdf2 = false;
        ok = decodeBase64(parts[2], entry.salt) && decodeBase64(parts[3], entry.hash);
    }
    return ok && entry.hash.size() == kHashSize;
}

struct DigestContextFree {
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};

bool computeHash(const PasswordFile::Entry &entry, std::string_view password,
                 unsigned char (&out)[kHashSize]) {
    if (password.size() > INT_MAX) {
        return false;
    }
    if (entry.pbkdf2) {
        return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                                 entry.salt.data(), static_cast<int>(entry.salt.size()),
                                 entry.iterations, EVP_sha512(), kHashSize, out) == 1;
    }
    std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
    unsigned int size = 0;
    return context && EVP_DigestInit_ex(context.get(), EVP_sha512(), nullptr) == 1 &&
           EVP_DigestUpdate(context.get(), password.data(), password.size()) == 1 &&
           EVP_DigestUpdate(context.get(), entry.salt.data(), entry.salt.size()) == 1 &&
           EVP_DigestFinal_ex(context.get(), out, &size) == 1 && size == kHashSize;
}

}  // namespace

bool PasswordFile::parse(std::string_view text, std::string &problem) {
    std::unordered_map<std::string, Entry> parsed;
    const std::vector<std::string_view> lines = split(text, '\n');
    for (std::size_t number = 1; number <= lines.size(); ++number) {
        std::string_view line = lines[number - 1];
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const std::size_t colon = line.find(':');
        Entry entry;
        if (colon == 0 || colon == std::string_view::npos ||
            !parseHash(line.substr(colon + 1), entry)) {
            problem = "line " + std::to_string(number) +
                      " is not user:$7$<iterations>$<salt>$<hash> or user:$6$<salt>$<hash>";
            return false;
        }
        if (!parsed.emplace(std::string(line.substr(0, colon)), std::move(entry)).second) {
            problem = "line " + std::to_string(number) + " names a user a second time";
            return false;
        }
    }
    entries = std::move(parsed);
    return true;
}

PasswordFile::Check PasswordFile::check(const std::string &user, std::string_view password) const {
    // An unknown user is hashed against a stand-in entry so that the answer takes
    // about as long as for a known one.
    static const Entry standIn{true, 101, std::vector<unsigned char>(12, 0),
                               std::vector<unsigned char>(kHashSize, 0)};
    const auto found = entries.find(user);
    const Entry &entry = found != entries.end() ? found->second : standIn;
    unsigned char computed[kHashSize];
    const bool same = computeHash(entry, password, computed) &&
                      CRYPTO_memcmp(computed, entry.hash.data(), kHashSize) == 0;
    OPENSSL_cleanse(computed, sizeof computed);
    if (found == entries.end()) {
        return Check::unknownUser;
    }
    return same ? Check::match : Check::mismatch;
}

}  // namespace tarnu_unseal
