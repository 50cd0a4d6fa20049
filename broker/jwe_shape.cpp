#include "jwe_shape.h"

#include <jansson.h>

#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

namespace tarnu_unseal {
namespace {

constexpr std::size_t kParts = 5;  // header, encrypted key, IV, ciphertext, tag
constexpr std::size_t kIvBytes = 12;
constexpr std::size_t kTagBytes = 16;

struct JsonRelease {
    void operator()(json_t *json) const { json_decref(json); }
};

// The six bits a base64url character stands for, or -1.
int sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '-') return 62;
    if (c == '_') return 63;
    return -1;
}

// The number of bytes a part decodes to, if it is in the one form an encoder writes:
// no length of 1 mod 4 (six bits cannot end a byte) and no bits set past the last
// whole byte. Anything looser would let many texts stand for the same bytes.
std::optional<std::size_t> decodedSize(std::string_view part) {
    const std::size_t whole = part.size() / 4 * 3;
    switch (part.size() % 4) {
    case 0:
        return whole;
    case 2:
        return (sextet(part.back()) & 0x0F) == 0 ? std::optional(whole + 1) : std::nullopt;
    case 3:
        return (sextet(part.back()) & 0x03) == 0 ? std::optional(whole + 2) : std::nullopt;
    default:
        return std::nullopt;
    }
}

// Only called on a part decodedSize() accepted.
std::string decode(std::string_view part) {
    std::string bytes;
    bytes.reserve(part.size() / 4 * 3 + 2);
    unsigned bits = 0;
    int count = 0;
    for (char c : part) {
        bits = (bits << 6) | static_cast<unsigned>(sextet(c));
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return bytes;
}

bool isString(json_t *value, std::string_view wanted) {
    return json_is_string(value) &&
           std::string_view(json_string_value(value), json_string_length(value)) == wanted;
}

// Exactly {"alg": "RSA-OAEP", "enc": "A256GCM"}, in either order. No other member is
// let through, known or not: "zip" would change what the plaintext means, "crit" names
// members a reader must understand or refuse, and the key-finding ones (jku, x5u, kid
// and the like) are not what this plugin opens by.
Shape checkHeader(std::string_view part) {
    const std::string text = decode(part);
    json_error_t error;
    std::unique_ptr<json_t, JsonRelease> header(
        json_loadb(text.data(), text.size(), JSON_REJECT_DUPLICATES, &error));
    if (!header) {
        return json_error_code(&error) == json_error_duplicate_key ? Shape::headerDuplicate
                                                                   : Shape::headerNotObject;
    }
    if (!json_is_object(header.get())) {
        return Shape::headerNotObject;
    }
    const char *key = nullptr;
    json_t *value = nullptr;
    json_object_foreach(header.get(), key, value) {
        if (std::strcmp(key, "alg") != 0 && std::strcmp(key, "enc") != 0) {
            return Shape::headerMember;
        }
    }
    if (!isString(json_object_get(header.get(), "alg"), "RSA-OAEP") ||
        !isString(json_object_get(header.get(), "enc"), "A256GCM")) {
        return Shape::wrongAlgorithm;
    }
    return Shape::ok;
}

}  // namespace

Shape checkShape(std::string_view compact, const ShapeLimits &limits) {
    std::array<std::string_view, kParts> parts;
    std::size_t count = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= compact.size(); ++i) {
        if (i == compact.size() || compact[i] == '.') {
            if (count == kParts) {
                return Shape::notFiveParts;
            }
            parts[count++] = compact.substr(start, i - start);
            start = i + 1;
        } else if (sextet(compact[i]) < 0) {
            return Shape::notFiveParts;  // padding, or any other character
        }
    }
    if (count != kParts) {
        return Shape::notFiveParts;
    }
    std::array<std::size_t, kParts> sizes{};
    for (std::size_t i = 0; i < kParts; ++i) {
        const std::optional<std::size_t> size = decodedSize(parts[i]);
        if (!size) {
            return Shape::notCanonical;
        }
        sizes[i] = *size;
    }
    if (const Shape header = checkHeader(parts[0]); header != Shape::ok) {
        return header;
    }
    if (sizes[1] != limits.encryptedKey) {
        return Shape::encryptedKeySize;
    }
    if (sizes[2] != kIvBytes) {
        return Shape::ivSize;
    }
    if (sizes[4] != kTagBytes) {
        return Shape::tagSize;
    }
    if (sizes[3] > limits.maxCiphertext) {
        return Shape::ciphertextSize;
    }
    return Shape::ok;
}

}  // namespace tarnu_unseal
