#include "platform/codepage.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <mutex>

#include "platform/error.h"

namespace platform {

namespace {

std::mutex gMu;
std::string gOverride;

// "utf-8", "UTF8" and "utf_8" name one code set.
std::string CanonicalName(const std::string& name) {
    std::string r;
    for (char c : name) {
        if (c == '-' || c == '_') {
            continue;
        }
        r.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    }
    return r;
}

class IconvGuard {
  public:
    explicit IconvGuard(iconv_t cd) : cd_(cd) {}
    ~IconvGuard() {
        if (Valid()) {
            iconv_close(cd_);
        }
    }
    IconvGuard(const IconvGuard&) = delete;
    IconvGuard& operator=(const IconvGuard&) = delete;
    bool Valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t Get() const { return cd_; }

  private:
    iconv_t cd_;
};

}  // namespace

std::string AnsiCodeset() {
    {
        std::lock_guard<std::mutex> lock(gMu);
        if (!gOverride.empty()) {
            return gOverride;
        }
    }
    std::string cs = nl_langinfo(CODESET);
    std::string canon = CanonicalName(cs);
    // The C locale reports plain ASCII, yet Linux file names are UTF-8 bytes by convention.
    if (cs.empty() || canon == "ANSIX3.41968" || canon == "ASCII" || canon == "USASCII" || canon == "646") {
        return "UTF-8";
    }
    return cs;
}

void SetAnsiCodesetForTest(const std::string& codeset) {
    std::lock_guard<std::mutex> lock(gMu);
    gOverride = codeset;
}

bool ConvertCodeset(const std::string& from, const std::string& to, const std::string& in, std::string* out) {
    out->clear();
    if (CanonicalName(from) == CanonicalName(to)) {
        *out = in;
        return true;
    }
    IconvGuard cd(iconv_open(to.c_str(), from.c_str()));
    if (!cd.Valid()) {
        SetLastError(errno);
        return false;
    }
    char* inPtr = const_cast<char*>(in.data());
    size_t inLeft = in.size();
    std::string buf(in.size() * 2 + 16, '\0');
    size_t used = 0;
    bool flushing = false;
    for (;;) {
        char* outPtr = buf.data() + used;
        size_t outLeft = buf.size() - used;
        size_t rc = flushing ? iconv(cd.Get(), nullptr, nullptr, &outPtr, &outLeft)
                             : iconv(cd.Get(), &inPtr, &inLeft, &outPtr, &outLeft);
        int err = errno;
        used = static_cast<size_t>(outPtr - buf.data());
        if (rc != static_cast<size_t>(-1)) {
            if (flushing) {
                break;
            }
            flushing = true;  // stateful code sets may still owe a shift sequence
            continue;
        }
        if (err == E2BIG) {
            buf.resize(buf.size() * 2);
            continue;
        }
        // EILSEQ (a byte sequence invalid in `from`) or EINVAL (input ends inside a character).
        out->assign(buf.data(), used);
        SetLastError(err);
        return false;
    }
    out->assign(buf.data(), used);
    return true;
}

}  // namespace platform
