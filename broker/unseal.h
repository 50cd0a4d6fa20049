// Opens sealed passwords: JWE compact texts (RSA-OAEP key wrapping, A256GCM
// content encryption) made under the public half of the broker's private key.
#pragma once

#include "jwe_shape.h"
#include "secret.h"

#include <cjose/cjose.h>

#include <memory>
#include <string>
#include <string_view>

namespace tarnu_unseal {

struct JwkRelease {
    void operator()(cjose_jwk_t *jwk) const { cjose_jwk_release(jwk); }
};

class Unsealer {
public:
    enum class Result { ok, misshapen, malformed, wrongAlgorithm, wrongKey };

    // Opens nothing whose ciphertext (so plaintext) is longer than `maxPlaintext`.
    explicit Unsealer(std::size_t maxPlaintext) { limits.maxCiphertext = maxPlaintext; }

    // Takes the private RSA key from its JWK text and proves it by opening a text
    // sealed under it; on failure returns false and says why in `problem`.
    bool load(std::string_view jwkText, std::string &problem);
    // Opens `compact` into `plaintext`. Only "RSA-OAEP" with "A256GCM" is opened, and
    // only a text of the shape checkShape() admits: otherwise the result is misshapen
    // and `shape` says which rule the text breaks.
    Result unseal(std::string_view compact, Secret &plaintext, Shape &shape) const;
    // The size of the private key's modulus, so of an encrypted key, in bytes.
    std::size_t encryptedKeySize() const { return limits.encryptedKey; }
    // Five base64url parts joined by four periods: the shape of a sealed password.
    static bool looksSealed(std::string_view text);

private:
    std::unique_ptr<cjose_jwk_t, JwkRelease> key;
    ShapeLimits limits;
};

}  // namespace tarnu_unseal
