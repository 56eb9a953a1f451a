// The desktop's keyring (the Secret Service over the D-Bus session bus, through libsecret), where
// the remembered password is kept instead of the client database. One item per account, labelled
// "Kestrine password for <account>" with the attributes application=kestrine and account.
//
// A keyring that is absent (no session bus, no Secret Service, built without libsecret, or
// KESTRINE_KEYRING=off) answers Unavailable at once. Each call waits at most KeyringTimeoutMs() for
// the service; a call that does not answer by then (a locked keyring showing a prompt, a stuck
// daemon) answers Unavailable, and the keyring counts as unavailable for the rest of the process,
// so the client never hangs on it. Calls are thread-safe. Each can fail through fault.h: Op::Keyring
// with the path "store:", "lookup:" or "remove:" + the account; ENOTCONN makes it Unavailable,
// other errors Failed. An OnCall hook on the path "ask:" + that path runs on the thread that asks
// the service, just before it does (a slow hook shows a service that does not answer).
#pragma once

#include <string>

namespace platform {

enum class KeyringResult {
    Ok,
    NotFound,     // lookup: no item for the account
    Unavailable,  // no keyring to ask, or it did not answer in time
    Failed,       // the keyring answered with an error
};

KeyringResult KeyringStore(const std::string& account, const std::string& secret);
KeyringResult KeyringLookup(const std::string& account, std::string* secret);
KeyringResult KeyringRemove(const std::string& account);  // Ok also when there was no item

// How long one call waits for the service (2 s unless set); tests shorten it.
int KeyringTimeoutMs();
void SetKeyringTimeoutMs(int ms);
// Forgets that the keyring did not answer once, so the next call asks it again (for tests).
void ResetKeyringState();

const char* KeyringResultName(KeyringResult result);

}  // namespace platform
