#include "platform/keyring.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/fault.h"
#include "platform/plog.h"

#ifdef KESTRINE_HAVE_LIBSECRET
#include <libsecret/secret.h>
#endif

namespace platform {

namespace {

std::atomic<int> g_timeoutMs{2000};
std::atomic<bool> g_unresponsive{false};

enum class Kind { Store, Lookup, Remove };

const char* KindName(Kind kind) {
    switch (kind) {
        case Kind::Store:
            return "store:";
        case Kind::Lookup:
            return "lookup:";
        case Kind::Remove:
            return "remove:";
    }
    return "";
}

bool SessionBusConfigured() {
    const char* off = std::getenv("KESTRINE_KEYRING");
    if (off && std::string(off) == "off")
        return false;
    // Without an address libsecret would try to start a bus of its own: not for a sync client.
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    return bus && *bus;
}

// What one call hands to the thread that asks the service, and back.
struct Call {
    Kind kind;
    std::string account, secret;
    KeyringResult result = KeyringResult::Failed;
    std::string error;
    bool done = false;
    std::mutex mu;
    std::condition_variable cv;
#ifdef KESTRINE_HAVE_LIBSECRET
    GCancellable* cancel = g_cancellable_new();
    ~Call() {
        g_object_unref(cancel);
    }
#endif
};

#ifdef KESTRINE_HAVE_LIBSECRET
const SecretSchema* Schema() {
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "org.kestrine.Password";
        s.flags = SECRET_SCHEMA_NONE;
        s.attributes[0] = {"application", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;  // the rest zero: the attribute list ends at the first unnamed one
    }();
    return &schema;
}

// A service that is not on the bus, or a bus that refuses us, is no keyring rather than a
// failing one.
KeyringResult FromError(GError* error, std::string* text) {
    *text = error->message ? error->message : "";
    const bool absent = error->domain == G_DBUS_ERROR || error->domain == G_IO_ERROR;
    g_error_free(error);
    return absent ? KeyringResult::Unavailable : KeyringResult::Failed;
}

void Ask(Call* call) {
    GError* error = nullptr;
    const char* account = call->account.c_str();
    switch (call->kind) {
        case Kind::Store: {
            const std::string label = "Kestrine password for " + call->account;
            gboolean ok = secret_password_store_sync(Schema(), SECRET_COLLECTION_DEFAULT, label.c_str(),
                                                     call->secret.c_str(), call->cancel, &error,
                                                     "application", "kestrine", "account", account, nullptr);
            call->result = ok ? KeyringResult::Ok : KeyringResult::Failed;
            break;
        }
        case Kind::Lookup: {
            gchar* secret = secret_password_lookup_sync(Schema(), call->cancel, &error, "application",
                                                        "kestrine", "account", account, nullptr);
            if (secret) {
                call->secret = secret;
                secret_password_free(secret);
                call->result = KeyringResult::Ok;
            } else {
                call->result = KeyringResult::NotFound;
            }
            break;
        }
        case Kind::Remove:
            secret_password_clear_sync(Schema(), call->cancel, &error, "application", "kestrine", "account",
                                       account, nullptr);
            call->result = KeyringResult::Ok;  // nothing to clear is no failure
            break;
    }
    if (error)
        call->result = FromError(error, &call->error);
}
#else
void Ask(Call* call) {
    call->result = KeyringResult::Unavailable;
    call->error = "built without libsecret";
}
#endif

// Runs the call on a thread of its own and waits for it at most the time-out. A call left
// waiting is cancelled and keeps its state alive until it ends by itself.
KeyringResult Run(Kind kind, const std::string& account, std::string* secret) {
    const std::string path = KindName(kind) + account;
    int err = 0;
    if (ShouldFail(Op::Keyring, path, &err))
        return err == ENOTCONN ? KeyringResult::Unavailable : KeyringResult::Failed;
    if (g_unresponsive.load() || !SessionBusConfigured())
        return KeyringResult::Unavailable;
    auto call = std::make_shared<Call>();
    call->kind = kind;
    call->account = account;
    if (kind == Kind::Store)
        call->secret = *secret;
    try {
        std::thread([call, path] {
            ShouldFail(Op::Keyring, "ask:" + path, nullptr);  // runs an armed hook here
            Ask(call.get());
            std::lock_guard<std::mutex> lock(call->mu);
            call->done = true;
            call->cv.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return KeyringResult::Unavailable;
    }
    std::unique_lock<std::mutex> lock(call->mu);
    if (!call->cv.wait_for(lock, std::chrono::milliseconds(g_timeoutMs.load()), [&] { return call->done; })) {
#ifdef KESTRINE_HAVE_LIBSECRET
        g_cancellable_cancel(call->cancel);
#endif
        g_unresponsive.store(true);
        Log(3, "platform::Keyring", "The keyring did not answer in time: it is not used from now on");
        return KeyringResult::Unavailable;
    }
    if (!call->error.empty())
        Log(call->result == KeyringResult::Unavailable ? 4 : 3, "platform::Keyring",
            std::string("The keyring answered ") + KeyringResultName(call->result) + ": " + call->error);
    if (kind == Kind::Lookup && call->result == KeyringResult::Ok)
        *secret = call->secret;
    return call->result;
}

}  // namespace

KeyringResult KeyringStore(const std::string& account, const std::string& secret) {
    std::string copy = secret;
    return Run(Kind::Store, account, &copy);
}

KeyringResult KeyringLookup(const std::string& account, std::string* secret) {
    return Run(Kind::Lookup, account, secret);
}

KeyringResult KeyringRemove(const std::string& account) {
    return Run(Kind::Remove, account, nullptr);
}

int KeyringTimeoutMs() {
    return g_timeoutMs.load();
}

void SetKeyringTimeoutMs(int ms) {
    g_timeoutMs.store(ms > 0 ? ms : 1);
}

void ResetKeyringState() {
    g_unresponsive.store(false);
}

const char* KeyringResultName(KeyringResult result) {
    switch (result) {
        case KeyringResult::Ok:
            return "ok";
        case KeyringResult::NotFound:
            return "not found";
        case KeyringResult::Unavailable:
            return "unavailable";
        case KeyringResult::Failed:
            return "failed";
    }
    return "";
}

}  // namespace platform
