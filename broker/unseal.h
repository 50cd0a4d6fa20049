// Opens sealed passwords: JWE compact texts (RSA-OAEP key wrapping, A256GCM
// content encryption) made under the public half of the broker's private key.
#pragma once

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
    enum class Result { ok, malformed, wrongAlgorithm, wrongKey };

    // Takes the private RSA key from its JWK text and proves it by opening a text
    // sealed under it; on failure returns false and says why in `problem`.
    bool load(std::string_view jwkText, std::string &problem);
    // Opens `compact` into `plaintext`. Only "RSA-OAEP" with "A256GCM" is opened.
    Result unseal(std::string_view compact, Secret &plaintext) const;
    // Five base64url parts joined by four periods: the shape of a sealed password.
    static bool looksSealed(std::string_view text);

private:
    std::unique_ptr<cjose_jwk_t, JwkRelease> key;
};

}  // namespace tarnu_unseal
