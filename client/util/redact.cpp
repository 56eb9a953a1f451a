#include "util/redact.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <vector>

#include "util/ascii.h"

namespace redact {

namespace {

std::mutex g_mu;
std::deque<std::string> g_secrets;  // newest last

const char* const kSecretNames[] = {"password", "passwd", "pwd", "passport"};

// True when a secret name ends just before `end` in `text` (compared without case).
bool SecretNameEndsAt(const std::string& text, size_t end) {
    for (const char* name : kSecretNames) {
        const size_t n = std::char_traits<char>::length(name);
        if (end < n)
            continue;
        bool same = true;
        for (size_t i = 0; i < n && same; ++i)
            same = ascii::Lower(text[end - n + i]) == name[i];
        if (same)
            return true;
    }
    return false;
}

// Where an unquoted value ends: at a separator of query strings, cookies, headers or markup.
size_t BareValueEnd(const std::string& text, size_t pos) {
    while (pos < text.size()) {
        const char c = text[pos];
        if (c == '&' || c == ';' || c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '"' ||
            c == '\'' || c == '<' || c == '>' || c == '}' || c == '#')
            break;
        ++pos;
    }
    return pos;
}

// Appends the masked value that starts at `pos` (a quoted one keeps its quotes); returns where
// the text goes on.
size_t MaskValue(const std::string& text, size_t pos, std::string* out) {
    if (pos < text.size() && (text[pos] == '"' || text[pos] == '\'')) {
        const char quote = text[pos];
        size_t close = text.find(quote, pos + 1);
        if (close == std::string::npos)
            close = BareValueEnd(text, pos + 1);
        out->push_back(quote);
        out->append(kMask);
        if (close < text.size() && text[close] == quote) {
            out->push_back(quote);
            return close + 1;
        }
        return close;
    }
    out->append(kMask);
    return BareValueEnd(text, pos);
}

// At `pos` a '<' that may open a secret element "<[prefix:]password ...>": returns the position
// of its text, or npos.
size_t SecretElementText(const std::string& text, size_t pos) {
    const size_t close = text.find('>', pos);
    if (close == std::string::npos || text[close - 1] == '/')
        return std::string::npos;
    size_t nameEnd = pos + 1;
    while (nameEnd < close && text[nameEnd] != ' ' && text[nameEnd] != '\t' && text[nameEnd] != '\n')
        ++nameEnd;
    if (nameEnd == pos + 1 || text[pos + 1] == '/' || !SecretNameEndsAt(text, nameEnd))
        return std::string::npos;
    return close + 1;
}

}  // namespace

std::string Items(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '=' && SecretNameEndsAt(text, i)) {
            out.push_back('=');
            i = MaskValue(text, i + 1, &out);
            continue;
        }
        // A JSON member: "password" : "value".
        if (c == '"' && i > 0 && SecretNameEndsAt(text, i)) {
            size_t colon = i + 1;
            while (colon < text.size() && text[colon] == ' ')
                ++colon;
            if (colon < text.size() && text[colon] == ':') {
                size_t value = colon + 1;
                while (value < text.size() && text[value] == ' ')
                    ++value;
                out.append(text, i, value - i);
                i = MaskValue(text, value, &out);
                continue;
            }
        }
        if (c == '<') {
            const size_t value = SecretElementText(text, i);
            if (value != std::string::npos) {
                out.append(text, i, value - i);
                out.append(kMask);
                const size_t end = text.find('<', value);
                i = end == std::string::npos ? text.size() : end;
                continue;
            }
        }
        out.push_back(c);
        ++i;
    }
    return out;
}

void Remember(const std::string& secret) {
    if (secret.size() < kMinSecretBytes)
        return;
    std::lock_guard<std::mutex> lock(g_mu);
    auto found = std::find(g_secrets.begin(), g_secrets.end(), secret);
    if (found != g_secrets.end())
        g_secrets.erase(found);
    g_secrets.push_back(secret);
    while (g_secrets.size() > kMaxSecrets)
        g_secrets.pop_front();
}

void Forget() {
    std::lock_guard<std::mutex> lock(g_mu);
    g_secrets.clear();
}

std::string Line(const std::string& text) {
    std::string out = Items(text);
    std::lock_guard<std::mutex> lock(g_mu);
    // Longest first: a value that contains another (a wrapped form around the plain one) goes whole.
    std::vector<const std::string*> order;
    order.reserve(g_secrets.size());
    for (const std::string& s : g_secrets)
        order.push_back(&s);
    std::sort(order.begin(), order.end(),
              [](const std::string* a, const std::string* b) { return a->size() > b->size(); });
    for (const std::string* secret : order) {
        for (size_t pos = out.find(*secret); pos != std::string::npos; pos = out.find(*secret, pos + 3))
            out.replace(pos, secret->size(), kMask);
    }
    return out;
}

}  // namespace redact
