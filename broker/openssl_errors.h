// OpenSSL notes failures in the calling thread's error queue. The broker serves every
// connection on that one thread and reads its TLS links without clearing the queue
// first, so an error left behind by the plugin would be taken for the next TLS read's
// own and that client (anyone's) disconnected. cjose takes the error it reports off the
// queue, which empties it for the failures seen so far (an OAEP padding error, a key
// too large for the modulus); every way out of the plugin's OpenSSL work still clears
// the queue, so that no path of OpenSSL that notes more than one error can do harm.
#pragma once

#include <openssl/err.h>

namespace tarnu_unseal {

class ClearOpenSslErrors {
public:
    ClearOpenSslErrors() = default;
    ~ClearOpenSslErrors() { ERR_clear_error(); }
    ClearOpenSslErrors(const ClearOpenSslErrors &) = delete;
    ClearOpenSslErrors &operator=(const ClearOpenSslErrors &) = delete;
};

}  // namespace tarnu_unseal
