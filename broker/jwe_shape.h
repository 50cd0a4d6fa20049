// The shape a sealed password must have before any of it reaches cjose. cjose takes
// whatever sizes a JWE declares and trusts them (an IV of one byte has OpenSSL read
// twelve), ignores header members it does not know and decodes base64url loosely, so
// the plugin admits one form only: the one the clients make.
#pragma once

#include <cstddef>
#include <string_view>

namespace tarnu_unseal {

enum class Shape {
    ok,
    notFiveParts,      // not five base64url parts joined by four periods
    notCanonical,      // a part with a length of 1 mod 4, or with unused bits set
    headerNotObject,   // the protected header is not one JSON object
    headerDuplicate,   // ... has a member twice
    headerMember,      // ... has a member other than alg and enc
    wrongAlgorithm,    // ... has no alg "RSA-OAEP" or no enc "A256GCM"
    encryptedKeySize,  // the encrypted key is not one RSA block of the private key
    ivSize,            // the IV is not the 96 bits of A256GCM
    tagSize,           // the tag is not the 128 bits of A256GCM
    ciphertextSize,    // the ciphertext is longer than a password may be
};

struct ShapeLimits {
    std::size_t encryptedKey = 0;   // the private key's modulus, in bytes
    std::size_t maxCiphertext = 0;  // A256GCM's ciphertext is as long as the plaintext
};

// Checks a JWE compact text in the order above and returns the first rule it breaks.
Shape checkShape(std::string_view compact, const ShapeLimits &limits);

}  // namespace tarnu_unseal
