// tarnu_unseal: a mosquitto 2.0 plugin that checks the user name and password of
// each connecting client. A password in the form of a sealed text (a JWE made by
// the Enterprise edition of tarnu_sdk) is opened with the broker's private key;
// the password inside, or a plain password where those are allowed, is checked
// against a password file as mosquitto_passwd writes it.
//
//   plugin /path/to/tarnu_unseal.so
//   plugin_opt_private_key /path/to/key.private.jwk
//   plugin_opt_password_file /path/to/passwords
//   plugin_opt_allow_plain false        # the default; true also takes plain passwords
//
// Refusals are logged with the client id, the user name and the reason, never with
// the password or the sealed text. The files are read at start-up; the password
// file again when the broker reloads its configuration (SIGHUP).
#include "openssl_errors.h"
#include "password_file.h"
#include "unseal.h"

#include <mosquitto.h>
#include <mosquitto_broker.h>
#include <mosquitto_plugin.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#define TARNU_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using tarnu_unseal::PasswordFile;
using tarnu_unseal::Secret;
using tarnu_unseal::Shape;
using tarnu_unseal::Unsealer;

// Longer passwords are refused before any work is done: a sealed password of a few
// kilobytes is far below this.
constexpr std::size_t kMaxPassword = 8192;
constexpr std::size_t kMaxKeyFile = 64 * 1024;
constexpr std::size_t kMaxPasswordFile = 16 * 1024 * 1024;
constexpr const char *kWrongAlgorithm = "sealed password not made with RSA-OAEP and A256GCM";

struct FileClose {
    void operator()(std::FILE *file) const { std::fclose(file); }
};

// The whole of a file of at most `limit` bytes, read straight into one buffer, with no
// stdio buffer between, so that a key's text can be wiped afterwards. (cjose's import
// of the key makes working copies of its own, which it frees without wiping.)
bool readFile(const char *path, std::size_t limit, std::string &text, std::string &problem) {
    std::unique_ptr<std::FILE, FileClose> file(std::fopen(path, "rb"));
    if (!file) {
        problem = std::string("cannot open it: ") + std::strerror(errno);
        return false;
    }
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    text.assign(limit + 1, '\0');
    const std::size_t size = std::fread(text.data(), 1, text.size(), file.get());
    if (std::ferror(file.get())) {
        problem = std::string("cannot read it: ") + std::strerror(errno);
        return false;
    }
    if (size > limit) {
        problem = "larger than " + std::to_string(limit) + " bytes";
        return false;
    }
    text.resize(size);
    return true;
}

class Plugin {
public:
    bool configure(const mosquitto_opt *options, int count);
    int authenticate(const mosquitto_evt_basic_auth &event) const;
    void reloadPasswords();

private:
    bool loadKey(const char *path);
    bool loadPasswords(const char *path);
    const char *reason(Shape shape) const;

    Unsealer unsealer{kMaxPassword};
    std::string keySizeReason;  // names the size, which comes with the key
    PasswordFile passwords;
    std::string passwordPath;
    bool allowPlain = false;
};

bool failed(const char *option, const char *path, const std::string &problem) {
    mosquitto_log_printf(MOSQ_LOG_ERR, "tarnu_unseal: plugin_opt_%s %s: %s", option, path,
                         problem.c_str());
    return false;
}

bool Plugin::configure(const mosquitto_opt *options, int count) {
    const char *keyPath = nullptr;
    const char *passwordPath = nullptr;
    for (int i = 0; i < count; ++i) {
        const char *name = options[i].key;
        const char *value = options[i].value != nullptr ? options[i].value : "";
        if (std::strcmp(name, "private_key") == 0) {
            keyPath = value;
        } else if (std::strcmp(name, "password_file") == 0) {
            passwordPath = value;
        } else if (std::strcmp(name, "allow_plain") == 0) {
            if (std::strcmp(value, "true") != 0 && std::strcmp(value, "false") != 0) {
                mosquitto_log_printf(MOSQ_LOG_ERR,
                                     "tarnu_unseal: plugin_opt_allow_plain is \"%s\", "
                                     "not true or false",
                                     value);
                return false;
            }
            allowPlain = std::strcmp(value, "true") == 0;
        } else {
            mosquitto_log_printf(MOSQ_LOG_WARNING,
                                 "tarnu_unseal: unknown option plugin_opt_%s ignored", name);
        }
    }
    if (keyPath == nullptr || *keyPath == '\0' || passwordPath == nullptr ||
        *passwordPath == '\0') {
        mosquitto_log_printf(MOSQ_LOG_ERR, "tarnu_unseal: needs plugin_opt_private_key and "
                                           "plugin_opt_password_file");
        return false;
    }
    if (!loadKey(keyPath) || !loadPasswords(passwordPath)) {
        return false;
    }
    this->passwordPath = passwordPath;
    mosquitto_log_printf(MOSQ_LOG_NOTICE,
                         "tarnu_unseal: %zu users from %s; sealed passwords opened with %s; "
                         "plain passwords %s",
                         passwords.size(), passwordPath, keyPath,
                         allowPlain ? "allowed" : "refused");
    return true;
}

bool Plugin::loadKey(const char *path) {
    std::string text;
    std::string problem;
    const bool ok = readFile(path, kMaxKeyFile, text, problem) && unsealer.load(text, problem);
    OPENSSL_cleanse(text.data(), text.size());
    if (!ok) {
        return failed("private_key", path, problem);
    }
    keySizeReason = "sealed password has an encrypted key of other than " +
                    std::to_string(unsealer.encryptedKeySize()) + " bytes";
    struct stat status {};
    if (stat(path, &status) == 0 && (status.st_mode & S_IROTH) != 0) {
        mosquitto_log_printf(MOSQ_LOG_WARNING,
                             "tarnu_unseal: plugin_opt_private_key %s can be read by every user",
                             path);
    }
    return true;
}

bool Plugin::loadPasswords(const char *path) {
    std::string text;
    std::string problem;
    if (!readFile(path, kMaxPasswordFile, text, problem) || !passwords.parse(text, problem)) {
        return failed("password_file", path, problem);
    }
    return true;
}

void Plugin::reloadPasswords() {
    // On failure the users read before stay in force.
    if (loadPasswords(passwordPath.c_str())) {
        mosquitto_log_printf(MOSQ_LOG_NOTICE, "tarnu_unseal: %zu users from %s (reloaded)",
                             passwords.size(), passwordPath.c_str());
    }
}

int refuse(const mosquitto_evt_basic_auth &event, const char *reason) {
    const char *id = event.client != nullptr ? mosquitto_client_id(event.client) : nullptr;
    mosquitto_log_printf(MOSQ_LOG_NOTICE, "tarnu_unseal: refused client %s, user %s: %s",
                         id != nullptr ? id : "(unknown)",
                         event.username != nullptr ? event.username : "(none)", reason);
    return MOSQ_ERR_AUTH;
}

const char *Plugin::reason(Shape shape) const {
    switch (shape) {
    case Shape::notFiveParts:
        return "sealed password is not five base64url parts";
    case Shape::notCanonical:
        return "sealed password has a part that is not canonical base64url";
    case Shape::headerNotObject:
        return "sealed password has a header that is not a JSON object";
    case Shape::headerDuplicate:
        return "sealed password has a header with a duplicated member";
    case Shape::headerMember:
        return "sealed password has a header member other than alg and enc";
    case Shape::wrongAlgorithm:
        return kWrongAlgorithm;
    case Shape::encryptedKeySize:
        return keySizeReason.c_str();
    case Shape::ivSize:
        return "sealed password has an IV of other than 12 bytes";
    case Shape::tagSize:
        return "sealed password has a tag of other than 16 bytes";
    case Shape::ciphertextSize:
        return "sealed password has a ciphertext longer than 8192 bytes";
    case Shape::ok:
        break;
    }
    return "malformed sealed password";
}

int Plugin::authenticate(const mosquitto_evt_basic_auth &event) const {
    if (event.username == nullptr || event.username[0] == '\0') {
        return refuse(event, "no user name");
    }
    if (event.password == nullptr || event.password[0] == '\0') {
        return refuse(event, "no password");
    }
    // mosquitto 2.0 reads the CONNECT password field with its length, copies it into a
    // buffer with a NUL after it and keeps the pointer alone: neither the event nor any
    // mosquitto_client_ function gives the length. So the field ends, for a plugin, at
    // its first NUL. A NUL inside a sealed text leaves a cut-off text that fails the
    // shape check; what follows a whole sealed text cannot be seen (nor can it by
    // mosquitto's own password_file check).
    const std::size_t length = strnlen(event.password, kMaxPassword + 1);
    if (length > kMaxPassword) {
        return refuse(event, "password longer than 8192 bytes");
    }
    const std::string_view given(event.password, length);
    std::string_view candidate = given;
    Secret opened;
    const bool sealed = Unsealer::looksSealed(given);
    if (sealed) {
        Shape shape = Shape::ok;
        switch (unsealer.unseal(given, opened, shape)) {
        case Unsealer::Result::ok:
            break;
        case Unsealer::Result::misshapen:
            return refuse(event, reason(shape));
        case Unsealer::Result::malformed:
            return refuse(event, "malformed sealed password");
        case Unsealer::Result::wrongAlgorithm:
            return refuse(event, kWrongAlgorithm);
        case Unsealer::Result::wrongKey:
            return refuse(event, "sealed password does not open with the private key");
        }
        candidate = opened.view();
        if (candidate.empty() || candidate.find('\0') != std::string_view::npos) {
            return refuse(event, "sealed password is empty or holds a NUL byte");
        }
    } else if (!allowPlain) {
        return refuse(event, "plain password, and plugin_opt_allow_plain is false");
    }
    switch (passwords.check(event.username, candidate)) {
    case PasswordFile::Check::match:
        mosquitto_log_printf(MOSQ_LOG_DEBUG, "tarnu_unseal: accepted user %s (%s password)",
                             event.username, sealed ? "sealed" : "plain");
        return MOSQ_ERR_SUCCESS;
    case PasswordFile::Check::unknownUser:
        return refuse(event, "unknown user");
    case PasswordFile::Check::mismatch:
        break;
    }
    return refuse(event, sealed ? "wrong password (sealed)" : "wrong password (plain)");
}

int onBasicAuth(int /*event*/, void *eventData, void *userData) {
    const tarnu_unseal::ClearOpenSslErrors clear;
    const auto &event = *static_cast<const mosquitto_evt_basic_auth *>(eventData);
    try {
        return static_cast<const Plugin *>(userData)->authenticate(event);
    } catch (const std::exception &error) {
        mosquitto_log_printf(MOSQ_LOG_ERR, "tarnu_unseal: %s", error.what());
    } catch (...) {
    }
    return refuse(event, "internal error");
}

int onReload(int /*event*/, void * /*eventData*/, void *userData) {
    const tarnu_unseal::ClearOpenSslErrors clear;
    try {
        static_cast<Plugin *>(userData)->reloadPasswords();
    } catch (const std::exception &error) {
        mosquitto_log_printf(MOSQ_LOG_ERR, "tarnu_unseal: %s", error.what());
    }
    // The broker runs the reload callbacks of a listener's plugins in turn only while
    // each answers "defer"; any other answer ends the reload there, and the plugins
    // after this one (and the older kind of auth plugin, already cleaned up for the
    // reload) would never be set up again.
    return MOSQ_ERR_PLUGIN_DEFER;
}

struct Registration {
    mosquitto_plugin_id_t *id;
    Plugin plugin;
};

}  // namespace

TARNU_EXPORT int mosquitto_plugin_version(int count, const int *versions) {
    for (int i = 0; i < count; ++i) {
        if (versions[i] == MOSQ_PLUGIN_VERSION) {
            return MOSQ_PLUGIN_VERSION;
        }
    }
    return -1;
}

TARNU_EXPORT int mosquitto_plugin_init(mosquitto_plugin_id_t *id, void **userData,
                                       mosquitto_opt *options, int count) {
    try {
        auto registration = std::make_unique<Registration>();
        registration->id = id;
        if (!registration->plugin.configure(options, count)) {
            return MOSQ_ERR_INVAL;
        }
        int rc = mosquitto_callback_register(id, MOSQ_EVT_BASIC_AUTH, onBasicAuth, nullptr,
                                             &registration->plugin);
        if (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_callback_register(id, MOSQ_EVT_RELOAD, onReload, nullptr,
                                             &registration->plugin);
            if (rc != MOSQ_ERR_SUCCESS) {
                mosquitto_callback_unregister(id, MOSQ_EVT_BASIC_AUTH, onBasicAuth, nullptr);
            }
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            mosquitto_log_printf(MOSQ_LOG_ERR, "tarnu_unseal: cannot register its callbacks (%d)",
                                 rc);
            return rc;
        }
        *userData = registration.release();
        return MOSQ_ERR_SUCCESS;
    } catch (const std::exception &error) {
        mosquitto_log_printf(MOSQ_LOG_ERR, "tarnu_unseal: %s", error.what());
        return MOSQ_ERR_UNKNOWN;
    }
}

TARNU_EXPORT int mosquitto_plugin_cleanup(void *userData, mosquitto_opt * /*options*/,
                                          int /*count*/) {
    std::unique_ptr<Registration> registration(static_cast<Registration *>(userData));
    if (registration) {
        mosquitto_callback_unregister(registration->id, MOSQ_EVT_RELOAD, onReload, nullptr);
        mosquitto_callback_unregister(registration->id, MOSQ_EVT_BASIC_AUTH, onBasicAuth, nullptr);
    }
    return MOSQ_ERR_SUCCESS;
}
