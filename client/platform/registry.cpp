#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/internal.h"
#include "platform/plog.h"
#include "platform/system.h"
#include "util/ascii.h"

namespace platform {

const char* const kClientKey = "Software\\Velmora\\Kestrine\\";

namespace {

// The store never grows past a few values; anything larger is not ours and reads as empty.
constexpr size_t kMaxStoreBytes = 1 << 20;

struct Section {
    std::string key;
    std::vector<std::pair<std::string, std::string>> values;
};
using Store = std::vector<Section>;

// Serialises this process's writers; the flock on the side file serialises processes.
std::mutex gWriteMu;

// Registry key and value names compare without letter case, and a key's trailing "\" is optional.
bool SameName(const std::string& a, const std::string& b) {
    return ascii::EqualNoCase(a, b);
}

std::string KeyForm(const std::string& key) {
    std::string k = key;
    while (!k.empty() && k.back() == '\\') {
        k.pop_back();
    }
    return k;
}

bool SameKey(const std::string& a, const std::string& b) {
    return SameName(KeyForm(a), KeyForm(b));
}

std::string Escape(const std::string& v) {
    std::string out;
    out.reserve(v.size());
    for (char c : v) {
        if (c == '\\') {
            out.append("\\\\");
        } else if (c == '\n') {
            out.append("\\n");
        } else if (c == '\r') {
            out.append("\\r");
        } else {
            out.push_back(c);
        }
    }
    return out;
}

bool Unescape(const std::string& v, std::string* out) {
    out->clear();
    for (size_t i = 0; i < v.size(); ++i) {
        char c = v[i];
        if (c != '\\') {
            out->push_back(c);
            continue;
        }
        if (++i == v.size()) {
            return false;
        }
        switch (v[i]) {
            case '\\':
                out->push_back('\\');
                break;
            case 'n':
                out->push_back('\n');
                break;
            case 'r':
                out->push_back('\r');
                break;
            default:
                return false;
        }
    }
    return true;
}

// Parses the store's text; lines that do not parse are skipped (and dropped at the next write).
Store Parse(const std::string& text) {
    Store store;
    Section* current = nullptr;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? text.size() : nl + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == ';' || line[0] == '#') {
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']' || line.size() < 2) {
                current = nullptr;
                continue;
            }
            std::string key = line.substr(1, line.size() - 2);
            current = nullptr;
            for (Section& s : store) {
                if (SameKey(s.key, key)) {
                    current = &s;
                }
            }
            if (!current) {
                store.push_back(Section{key, {}});
                current = &store.back();
            }
            continue;
        }
        size_t eq = line.find('=');
        if (!current || eq == std::string::npos || eq == 0) {
            continue;
        }
        std::string name = line.substr(0, eq);
        std::string value;
        if (!Unescape(line.substr(eq + 1), &value)) {
            continue;
        }
        bool replaced = false;
        for (auto& nv : current->values) {
            if (SameName(nv.first, name)) {
                nv.second = value;
                replaced = true;
            }
        }
        if (!replaced) {
            current->values.emplace_back(name, value);
        }
    }
    return store;
}

std::string Serialise(const Store& store) {
    std::string out;
    for (const Section& s : store) {
        if (s.values.empty()) {
            continue;
        }
        out.append("[").append(s.key).append("]\n");
        for (const auto& nv : s.values) {
            out.append(nv.first).append("=").append(Escape(nv.second)).append("\n");
        }
        out.append("\n");
    }
    return out;
}

// A store's text, or false when the text cannot be one.
bool ParseStore(const std::string& text, Store* store) {
    if (text.size() > kMaxStoreBytes || text.find('\0') != std::string::npos) {
        store->clear();
        return false;
    }
    *store = Parse(text);
    return true;
}

Store Load() {
    std::string text;
    std::string path = RegistryFilePath();
    if (!ReadFileToString(path, &text, kMaxStoreBytes + 1)) {
        if (LastError() != ENOENT) {
            Log(3, "platform::Registry", "Cannot read \"" + path + "\": " + ErrorText(LastError()));
        }
        return Store();
    }
    Store store;
    if (!ParseStore(text, &store)) {
        Log(3, "platform::Registry", "\"" + path + "\" is not a settings store; its values read as missing");
    }
    return store;
}

const std::string* Find(const Store& store, const std::string& key, const std::string& name) {
    for (const Section& s : store) {
        if (!SameKey(s.key, key)) {
            continue;
        }
        for (const auto& nv : s.values) {
            if (SameName(nv.first, name)) {
                return &nv.second;
            }
        }
    }
    return nullptr;
}

bool ValidKey(const std::string& key) {
    return !key.empty() && key.find_first_of(std::string("\n\r\0", 3)) == std::string::npos &&
           key.find(']') == std::string::npos;
}

bool ValidName(const std::string& name) {
    return !name.empty() && name.find_first_of(std::string("=\n\r\0", 4)) == std::string::npos &&
           name[0] != '[' && name[0] != ';' && name[0] != '#';
}

// Read-modify-write of the whole store under the side lock; `change` edits the parsed store and
// returns false when there is nothing to write.
template <typename F>
bool Update(F change) {
    std::lock_guard<std::mutex> guard(gWriteMu);
    std::string path = RegistryFilePath();
    if (!internal::MakeDirs(internal::DirName(path), 0700)) {
        return false;
    }
    std::string lockPath = path + ".lock";
    if (internal::Faulted(Op::Open, lockPath)) {
        return false;
    }
    internal::FdGuard lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (lock.Get() < 0) {
        return internal::FailErrno();
    }
    if (internal::Faulted(Op::Lock, lockPath)) {
        return false;
    }
    while (::flock(lock.Get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            return internal::FailErrno();
        }
    }
    Store store = Load();
    if (!change(store)) {
        return true;
    }
    return WriteFileAtomic(path, Serialise(store));
    // The lock goes with the descriptor.
}

}  // namespace

bool RegistryGetString(const std::string& key, const std::string& name, std::string* value,
                       size_t bufferSize) {
    Store store = Load();
    const std::string* v = Find(store, key, name);
    if (!v) {
        SetLastError(ENOENT);
        return false;
    }
    if (v->size() + 1 > bufferSize) {
        SetLastError(ERANGE);  // does not fit the caller's buffer with its NUL
        return false;
    }
    *value = *v;
    return true;
}

bool RegistrySetString(const std::string& key, const std::string& name, const std::string& value) {
    if (!ValidKey(key) || !ValidName(name) || value.find('\0') != std::string::npos) {
        SetLastError(EINVAL);
        return false;
    }
    return Update([&](Store& store) {
        for (Section& s : store) {
            if (!SameKey(s.key, key)) {
                continue;
            }
            for (auto& nv : s.values) {
                if (SameName(nv.first, name)) {
                    if (nv.second == value) {
                        return false;
                    }
                    nv.second = value;
                    return true;
                }
            }
            s.values.emplace_back(name, value);
            return true;
        }
        store.push_back(Section{key, {{name, value}}});
        return true;
    });
}

bool RegistryDeleteValue(const std::string& key, const std::string& name) {
    bool found = false;
    bool ok = Update([&](Store& store) {
        for (Section& s : store) {
            if (!SameKey(s.key, key)) {
                continue;
            }
            for (size_t i = 0; i < s.values.size(); ++i) {
                if (SameName(s.values[i].first, name)) {
                    s.values.erase(s.values.begin() + static_cast<std::ptrdiff_t>(i));
                    found = true;
                    return true;
                }
            }
        }
        return false;
    });
    if (ok && !found) {
        SetLastError(ENOENT);
        return false;
    }
    return ok;
}

bool RegistryParse(const std::string& text, std::vector<RegistryValue>* values) {
    values->clear();
    Store store;
    if (!ParseStore(text, &store)) {
        return false;
    }
    for (const Section& s : store) {
        for (const auto& nv : s.values) {
            values->push_back(RegistryValue{s.key, nv.first, nv.second});
        }
    }
    return true;
}

std::string RegistryFormat(const std::vector<RegistryValue>& values) {
    Store store;
    for (const RegistryValue& v : values) {
        Section* section = nullptr;
        for (Section& s : store) {
            if (SameKey(s.key, v.key)) {
                section = &s;
            }
        }
        if (!section) {
            store.push_back(Section{v.key, {}});
            section = &store.back();
        }
        section->values.emplace_back(v.name, v.value);
    }
    return Serialise(store);
}

std::string RegistryFilePath() {
    return ConfigDir() + "/kestrine/registry.ini";
}

void SeedRegistryDefaults() {
    Update([](Store& store) {
        bool changed = false;
        auto seed = [&](const char* name, const std::string& value) {
            if (Find(store, kClientKey, name) || value.empty()) {
                return;
            }
            Section* section = nullptr;
            for (Section& s : store) {
                if (SameKey(s.key, kClientKey)) {
                    section = &s;
                }
            }
            if (!section) {
                store.push_back(Section{kClientKey, {}});
                section = &store.back();
            }
            section->values.emplace_back(name, value);
            changed = true;
        };
        seed("install_path", InstallResourceDir());
        seed("root_path", HomeDir() + "/Kestrine");
        return changed;
    });
}

}  // namespace platform
