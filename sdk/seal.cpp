// Enterprise edition: the password is sealed into a JWE (RSA-OAEP, A256GCM) before
// each connect, under the public key the module was built with.
#include "sdk.h"

#include "log.h"
#include "sealing_key.h"

#include <cjose/cjose.h>

#include <cstdlib>
#include <memory>

namespace {

struct JwkRelease {
    void operator()(cjose_jwk_t *jwk) const { cjose_jwk_release(jwk); }
};
struct HeaderRelease {
    void operator()(cjose_header_t *header) const { cjose_header_release(header); }
};
struct JweRelease {
    void operator()(cjose_jwe_t *jwe) const { cjose_jwe_release(jwe); }
};
struct CFree {
    void operator()(char *text) const { std::free(text); }
};

}  // namespace

// On every failure the password state is left as it was: connect then sends the
// plain password, or the text of the last successful sealing. The objects made are
// released in reverse order of creation (declaration order of the holders).
void SDK::sealPassword() {
    cjose_err error;
    std::unique_ptr<cjose_jwk_t, JwkRelease> key(
        cjose_jwk_import(tarnu::kSealingJwk, tarnu::kSealingJwkLength, &error));
    if (!key) {
        tarnu::log::err("[SDK] JWK import failed");
        return;
    }
    std::unique_ptr<cjose_header_t, HeaderRelease> header(cjose_header_new(&error));
    if (!header) {
        tarnu::log::err("[SDK] JWE header creation failed");
        return;
    }
    // A failure here shows up as a failed encryption.
    cjose_header_set(header.get(), CJOSE_HDR_ALG, "RSA-OAEP", &error);
    cjose_header_set(header.get(), CJOSE_HDR_ENC, "A256GCM", &error);
    std::unique_ptr<cjose_jwe_t, JweRelease> jwe(cjose_jwe_encrypt(
        key.get(), header.get(), reinterpret_cast<const uint8_t *>(password.data()),
        password.size(), &error));
    if (!jwe) {
        tarnu::log::err("[SDK] JWE encryption failed");
        return;
    }
    std::unique_ptr<char, CFree> compact(cjose_jwe_export(jwe.get(), &error));
    if (!compact) {
        tarnu::log::err("[SDK] JWE export failed");
        return;
    }
    sealedPassword.assign(compact.get());
    connectOptions.password = sealedPassword.c_str();
}
