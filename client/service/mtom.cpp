#include "service/mtom.h"

#include <algorithm>
#include <functional>
#include <random>

#include "util/ascii.h"
#include "util/base64.h"

namespace mtom {

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

std::string StripAngles(std::string_view s) {
    s = Trim(s);
    if (s.size() >= 2 && s.front() == '<' && s.back() == '>')
        s = s.substr(1, s.size() - 2);
    return std::string(s);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string PercentDecode(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            int h = HexValue(s[i + 1]), l = HexValue(s[i + 2]);
            if (h >= 0 && l >= 0) {
                out.push_back(static_cast<char>(h * 16 + l));
                i += 2;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

std::string RandomHex(size_t digits) {
    static thread_local std::mt19937_64 rng(std::random_device{}());
    static const char* hex = "0123456789abcdef";
    std::string out;
    while (out.size() < digits) {
        uint64_t v = rng();
        for (int i = 0; i < 16 && out.size() < digits; ++i, v >>= 4)
            out.push_back(hex[v & 15]);
    }
    return out;
}

bool IsBase64Char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// xs:base64Binary: alphabet characters in groups of four, whitespace anywhere, "=" padding only
// at the end.
bool WellFormedBase64(std::string_view s) {
    size_t count = 0, pad = 0;
    for (char c : s) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        if (c == '=') {
            ++pad;
        } else if (IsBase64Char(c) && pad == 0) {
            ++count;
        } else {
            return false;
        }
    }
    return pad <= 2 && (count + pad) % 4 == 0 && (pad == 0 || count % 4 != 0);
}

struct PartHeaders {
    std::string contentId;
    std::string contentType;
    std::string transferEncoding;
};

// Parses MIME header lines (CRLF or LF endings, folded lines joined).
void ParseHeaders(std::string_view block, PartHeaders* h) {
    std::string current;
    auto flush = [&]() {
        size_t colon = current.find(':');
        if (colon != std::string::npos) {
            std::string name = ascii::Lowered(Trim(std::string_view(current).substr(0, colon)));
            std::string value(Trim(std::string_view(current).substr(colon + 1)));
            if (name == "content-id")
                h->contentId = StripAngles(value);
            else if (name == "content-type")
                h->contentType = value;
            else if (name == "content-transfer-encoding")
                h->transferEncoding = ascii::Lowered(value);
        }
        current.clear();
    };
    size_t pos = 0;
    while (pos < block.size()) {
        size_t eol = block.find('\n', pos);
        std::string_view line =
            block.substr(pos, eol == std::string_view::npos ? std::string_view::npos : eol - pos);
        pos = eol == std::string_view::npos ? block.size() : eol + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            current.append(" ").append(Trim(line));
            continue;
        }
        if (!current.empty())
            flush();
        current.assign(line);
    }
    if (!current.empty())
        flush();
}

bool Fail(std::string* error, const std::string& text) {
    if (error)
        *error = text;
    return false;
}

}  // namespace

std::string MediaType(std::string_view header) {
    size_t semi = header.find(';');
    return ascii::Lowered(Trim(header.substr(0, semi)));
}

std::string HeaderParam(std::string_view header, std::string_view name, bool* found) {
    if (found)
        *found = false;
    std::string want = ascii::Lowered(name);
    size_t pos = header.find(';');
    while (pos != std::string_view::npos && pos < header.size()) {
        ++pos;  // past ';'
        while (pos < header.size() && (header[pos] == ' ' || header[pos] == '\t'))
            ++pos;
        size_t eq = header.find('=', pos);
        if (eq == std::string_view::npos)
            return std::string();
        std::string key = ascii::Lowered(Trim(header.substr(pos, eq - pos)));
        size_t v = eq + 1;
        while (v < header.size() && (header[v] == ' ' || header[v] == '\t'))
            ++v;
        std::string value;
        size_t next;
        if (v < header.size() && header[v] == '"') {
            size_t i = v + 1;
            for (; i < header.size() && header[i] != '"'; ++i) {
                if (header[i] == '\\' && i + 1 < header.size())
                    ++i;
                value.push_back(header[i]);
            }
            next = header.find(';', i);
        } else {
            next = header.find(';', v);
            value = std::string(
                Trim(header.substr(v, next == std::string_view::npos ? std::string_view::npos : next - v)));
        }
        if (key == want) {
            if (found)
                *found = true;
            return value;
        }
        pos = next;
    }
    return std::string();
}

const Part* Message::Find(std::string_view cidOrId) const {
    std::string_view s = Trim(cidOrId);
    if (ascii::StartsWithNoCase(s, "cid:"))
        s.remove_prefix(4);
    std::string id = StripAngles(PercentDecode(s));
    for (const Part& p : attachments) {
        if (p.contentId == id)
            return &p;
    }
    return nullptr;
}

bool Parse(std::string_view contentType, const char* data, size_t size, Message* out, std::string* error) {
    *out = Message();
    std::string_view body(data, size);
    if (MediaType(contentType) != "multipart/related") {
        out->root = body;
        out->rootContentType = std::string(contentType);
        return true;
    }
    out->multipart = true;
    std::string boundary = HeaderParam(contentType, "boundary");
    if (boundary.empty())
        return Fail(error, "multipart body without boundary");
    if (boundary.size() > kMaxBoundaryLength)
        return Fail(error, "multipart boundary too long");

    const std::string dashBoundary = "--" + boundary;
    const std::string delimiter = "\r\n" + dashBoundary;
    std::boyer_moore_horspool_searcher searcher(delimiter.begin(), delimiter.end());

    // The first delimiter may open the body or follow a preamble.
    size_t pos;
    if (body.substr(0, dashBoundary.size()) == dashBoundary) {
        pos = 0;
    } else {
        auto it = std::search(body.begin(), body.end(), searcher);
        if (it == body.end())
            return Fail(error, "multipart body without its boundary");
        pos = static_cast<size_t>(it - body.begin()) + 2;
    }

    std::vector<Part> parts;
    std::vector<std::string> encodings;
    bool closed = false;
    while (true) {
        size_t q = pos + dashBoundary.size();
        if (q > body.size())
            return Fail(error, "truncated multipart body");
        if (body.substr(q, 2) == "--") {
            closed = true;
            break;
        }
        while (q < body.size() && (body[q] == ' ' || body[q] == '\t'))
            ++q;
        if (body.substr(q, 2) == "\r\n") {
            q += 2;
        } else if (body.substr(q, 1) == "\n") {
            q += 1;
        } else {
            return Fail(error,
                        q >= body.size() ? "truncated multipart body" : "malformed multipart delimiter");
        }
        if (parts.size() >= kMaxParts)
            return Fail(error, "too many MIME parts");
        // Part headers end at an empty line.
        std::string_view rest = body.substr(q, kMaxPartHeaderBytes + 4);
        size_t end = rest.find("\r\n\r\n");
        size_t skip = 4;
        size_t lf = rest.find("\n\n");
        if (lf != std::string_view::npos && (end == std::string_view::npos || lf < end)) {
            end = lf;
            skip = 2;
        }
        if (rest.substr(0, 2) == "\r\n") {
            end = 0;
            skip = 2;
        } else if (rest.substr(0, 1) == "\n") {
            end = 0;
            skip = 1;
        }
        if (end == std::string_view::npos) {
            return Fail(error, rest.size() > kMaxPartHeaderBytes ? "MIME part headers too long"
                                                                 : "truncated MIME part headers");
        }
        if (end > kMaxPartHeaderBytes)
            return Fail(error, "MIME part headers too long");
        PartHeaders h;
        ParseHeaders(rest.substr(0, end), &h);
        size_t contentStart = q + end + skip;
        auto it = std::search(body.begin() + static_cast<std::ptrdiff_t>(std::min(contentStart, body.size())),
                              body.end(), searcher);
        if (it == body.end())
            return Fail(error, "truncated multipart body (no closing boundary)");
        size_t contentEnd = static_cast<size_t>(it - body.begin());
        Part p;
        p.contentId = std::move(h.contentId);
        p.contentType = std::move(h.contentType);
        p.bytes = body.substr(contentStart, contentEnd - contentStart);
        parts.push_back(std::move(p));
        encodings.push_back(std::move(h.transferEncoding));
        pos = contentEnd + 2;
    }
    if (!closed || parts.empty())
        return Fail(error, "multipart body without parts");
    for (const std::string& e : encodings) {
        if (!e.empty() && e != "binary" && e != "8bit" && e != "7bit")
            return Fail(error, "unsupported MIME transfer encoding \"" + e + "\"");
    }

    size_t rootIndex = 0;
    bool hasStart = false;
    std::string start = HeaderParam(contentType, "start", &hasStart);
    if (hasStart) {
        std::string id = StripAngles(start);
        auto it = std::find_if(parts.begin(), parts.end(), [&](const Part& p) { return p.contentId == id; });
        if (it == parts.end())
            return Fail(error, "the multipart start part \"" + id + "\" is missing");
        rootIndex = static_cast<size_t>(it - parts.begin());
    }
    out->root = parts[rootIndex].bytes;
    out->rootContentType = parts[rootIndex].contentType;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i != rootIndex)
            out->attachments.push_back(std::move(parts[i]));
    }
    return true;
}

Package::Package(soap::Version v) : version_(v) {
    std::string tag = RandomHex(24);
    boundary_ = "MIMEBoundary_" + tag;
    rootId_ = "0." + tag + "@kestrine";
    rootHead_ = "--" + boundary_ + "\r\nContent-Type: application/xop+xml; charset=UTF-8; type=\"" +
                soap::MediaType(v) + "\"\r\nContent-Transfer-Encoding: binary\r\nContent-ID: <" + rootId_ +
                ">\r\n\r\n";
    tail_ = "\r\n--" + boundary_ + "--\r\n";
}

std::string Package::AddAttachment(std::string_view bytes, const std::string& contentType) {
    std::string id = std::to_string(next_++) + "." + RandomHex(16) + "@kestrine";
    Attachment a;
    a.head = "\r\n--" + boundary_ + "\r\nContent-Type: " + contentType +
             "\r\nContent-Transfer-Encoding: binary\r\nContent-ID: <" + id + ">\r\n\r\n";
    a.bytes = bytes;
    attachments_.push_back(std::move(a));
    return id;
}

void Package::SetRoot(std::string envelope) {
    root_ = std::move(envelope);
}

std::string Package::ContentType() const {
    return std::string("multipart/related; boundary=\"") + boundary_ + "\"; type=\"" + kXopMediaType +
           "\"; start=\"<" + rootId_ + ">\"; start-info=\"" + soap::MediaType(version_) + "\"";
}

std::vector<std::string_view> Package::Pieces() const {
    std::vector<std::string_view> out;
    out.reserve(3 + 2 * attachments_.size());
    out.emplace_back(rootHead_);
    out.emplace_back(root_);
    for (const Attachment& a : attachments_) {
        out.emplace_back(a.head);
        out.push_back(a.bytes);
    }
    out.emplace_back(tail_);
    return out;
}

size_t Package::Size() const {
    size_t n = 0;
    for (std::string_view p : Pieces())
        n += p.size();
    return n;
}

std::string Package::Flatten() const {
    std::string out;
    out.reserve(Size());
    for (std::string_view p : Pieces())
        out.append(p);
    return out;
}

void AddXopInclude(pugi::xml_node element, const std::string& contentId) {
    while (element.first_child())
        element.remove_child(element.first_child());
    pugi::xml_node inc = element.append_child("xop:Include");
    inc.append_attribute("xmlns:xop") = kXopNs;
    inc.append_attribute("href") = ("cid:" + contentId).c_str();
}

bool ReadBinary(const pugi::xml_node& element, const Message& message, std::string_view* bytes,
                std::string* storage, std::string* error) {
    if (!element)
        return Fail(error, "no element to read bytes from");
    for (pugi::xml_node c = element.first_child(); c; c = c.next_sibling()) {
        if (c.type() != pugi::node_element)
            continue;
        if (soap::LocalName(c.name()) != "Include")
            return Fail(error, "unexpected element in binary content");
        pugi::xml_attribute href = c.attribute("href");
        if (!href)
            return Fail(error, "xop:Include without href");
        const Part* part = message.Find(href.value());
        if (!part)
            return Fail(error, std::string("no MIME part for ") + href.value());
        *bytes = part->bytes;
        return true;
    }
    std::string_view text = element.text().get();
    if (!WellFormedBase64(text))
        return Fail(error, "binary content is not well-formed Base64");
    storage->clear();
    storage->reserve(text.size() / 4 * 3);
    base64::Decode(text.data(), text.size(), storage);
    *bytes = *storage;
    return true;
}

}  // namespace mtom
