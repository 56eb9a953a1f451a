// Keeps secrets out of the log: the account's password, the wrapped password sent to the portal,
// the password digest of the SOAP request heads and the passport. Two guards, both applied by the
// logger to every line at every level: items named as secrets have their values replaced by
// "***" wherever the line carries them (URL query parameters and key=value pairs, XML attributes
// and elements, JSON members), and the secret values the client has handled are replaced wherever
// they appear. Process-wide and thread-safe.
#pragma once

#include <string>

namespace redact {

constexpr const char* kMask = "***";

// `text` with the value of every secret item masked: a name ending in "password", "passwd",
// "pwd" or "passport" (any case, so "proxy_passwd" too) followed by "=" (a query parameter, a
// cookie item or an XML attribute, quoted or not), by '":' (a JSON member), or as an XML element
// "<password>...</password>".
std::string Items(const std::string& text);

// Remembers a secret value, so that it is masked even where no item names it. Values shorter than
// kMinSecretBytes are not remembered: masking them would garble ordinary words of the log. Only
// the latest kMaxSecrets values are kept.
constexpr size_t kMinSecretBytes = 4;
constexpr size_t kMaxSecrets = 64;
void Remember(const std::string& secret);
void Forget();  // for tests: drops every remembered value

// Items() and then every remembered value masked: what the logger writes.
std::string Line(const std::string& text);

}  // namespace redact
