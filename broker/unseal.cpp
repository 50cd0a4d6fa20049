#include "unseal.h"

#include "openssl_errors.h"

#include <cstdlib>
#include <cstring>

namespace tarnu_unseal {
namespace {

constexpr const char *kAlgorithm = "RSA-OAEP";
constexpr const char *kEncryption = "A256GCM";

struct HeaderRelease {
    void operator()(cjose_header_t *header) const { cjose_header_release(header); }
};
struct JweRelease {
    void operator()(cjose_jwe_t *jwe) const { cjose_jwe_release(jwe); }
};
struct CjoseFree {
    void operator()(void *memory) const { cjose_get_dealloc()(memory); }
};

bool hasValue(cjose_header_t *header, const char *name, const char *wanted) {
    cjose_err error;
    const char *value = cjose_header_get(header, name, &error);
    return value != nullptr && std::strcmp(value, wanted) == 0;
}

// A sealed text of `probe` under `key`, made the way the clients make theirs.
std::string seal(const cjose_jwk_t *key, std::string_view probe) {
    cjose_err error;
    std::unique_ptr<cjose_header_t, HeaderRelease> header(cjose_header_new(&error));
    if (!header || !cjose_header_set(header.get(), CJOSE_HDR_ALG, kAlgorithm, &error) ||
        !cjose_header_set(header.get(), CJOSE_HDR_ENC, kEncryption, &error)) {
        return {};
    }
    std::unique_ptr<cjose_jwe_t, JweRelease> jwe(
        cjose_jwe_encrypt(key, header.get(), reinterpret_cast<const uint8_t *>(probe.data()),
                          probe.size(), &error));
    if (!jwe) {
        return {};
    }
    std::unique_ptr<char, CjoseFree> compact(cjose_jwe_export(jwe.get(), &error));
    return compact ? std::string(compact.get()) : std::string();
}

}  // namespace

bool Unsealer::load(std::string_view jwkText, std::string &problem) {
    const ClearOpenSslErrors clear;
    cjose_err error;
    std::unique_ptr<cjose_jwk_t, JwkRelease> imported(
        cjose_jwk_import(jwkText.data(), jwkText.size(), &error));
    if (!imported) {
        problem = "not a JSON Web Key";
        return false;
    }
    if (cjose_jwk_get_kty(imported.get(), &error) != CJOSE_JWK_KTY_RSA ||
        cjose_jwk_get_keysize(imported.get(), &error) < 2048) {
        problem = "not an RSA key of at least 2048 bits";
        return false;
    }
    const ShapeLimits before = limits;
    limits.encryptedKey = cjose_jwk_get_keysize(imported.get(), &error) / 8;
    std::swap(key, imported);
    static constexpr std::string_view probe = "tarnu_unseal probe";
    Secret opened;
    Shape shape = Shape::ok;
    const std::string sealed = seal(key.get(), probe);
    if (sealed.empty() || unseal(sealed, opened, shape) != Result::ok || opened.view() != probe) {
        std::swap(key, imported);
        limits = before;
        problem = "not a private key (a probe sealed under it does not open)";
        return false;
    }
    return true;
}

Unsealer::Result Unsealer::unseal(std::string_view compact, Secret &plaintext,
                                  Shape &shape) const {
    // cjose sees nothing the shape check has not admitted: it would trust the sizes a
    // text declares, and read past what it decoded.
    shape = checkShape(compact, limits);
    if (shape != Shape::ok) {
        return Result::misshapen;
    }
    const ClearOpenSslErrors clear;
    cjose_err error;
    std::unique_ptr<cjose_jwe_t, JweRelease> jwe(
        cjose_jwe_import(compact.data(), compact.size(), &error));
    if (!jwe) {
        return Result::malformed;
    }
    // Owned by the JWE object. The shape check has seen to the algorithms already;
    // cjose's own reading of the header must agree before the key is used.
    cjose_header_t *header = cjose_jwe_get_protected(jwe.get());
    if (header == nullptr || !hasValue(header, CJOSE_HDR_ALG, kAlgorithm) ||
        !hasValue(header, CJOSE_HDR_ENC, kEncryption)) {
        return Result::wrongAlgorithm;
    }
    std::size_t size = 0;
    std::unique_ptr<uint8_t, CjoseFree> opened(
        cjose_jwe_decrypt(jwe.get(), key.get(), &size, &error));
    if (!opened) {
        return Result::wrongKey;
    }
    plaintext.assign(opened.get(), size);
    OPENSSL_cleanse(opened.get(), size);
    return Result::ok;
}

bool Unsealer::looksSealed(std::string_view text) {
    std::size_t periods = 0;
    for (char c : text) {
        if (c == '.') {
            ++periods;
        } else if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '_')) {
            return false;
        }
    }
    return periods == 4;
}

}  // namespace tarnu_unseal
