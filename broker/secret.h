// Bytes of a password, wiped from memory when they go.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarnu_unseal {

class Secret {
public:
    Secret() = default;
    ~Secret() { wipe(); }
    Secret(const Secret &) = delete;
    Secret &operator=(const Secret &) = delete;

    void assign(const std::uint8_t *data, std::size_t size) {
        wipe();
        bytes.reserve(size);  // one allocation: no stale copy is left behind
        bytes.assign(reinterpret_cast<const char *>(data), size);
    }
    std::string_view view() const { return bytes; }

private:
    void wipe() {
        if (!bytes.empty()) {
            OPENSSL_cleanse(bytes.data(), bytes.size());
        }
        bytes.clear();
    }
    std::string bytes;
};

}  // namespace tarnu_unseal
