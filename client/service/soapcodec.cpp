#include "service/soapcodec.h"

#include <cstring>
#include <string_view>

namespace soap {

namespace {

struct StringWriter : pugi::xml_writer {
    std::string* out;
    explicit StringWriter(std::string* o) : out(o) {}
    void write(const void* data, size_t size) override { out->append(static_cast<const char*>(data), size); }
};

const char* Prefix(Version v) {
    return v == Version::k12 ? "soap" : "soapenv";
}

std::string Qualified(Version v, const char* local) {
    return std::string(Prefix(v)) + ":" + local;
}

// XML 1.0 forbids NUL and most control characters, also as character references. The parser
// decodes "&#0;" into a NUL that would silently cut the value short, so such text is refused.
bool XmlChar(unsigned long cp) {
    return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
           (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

int DigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ForbiddenCharacter(const char* data, size_t size, std::string* error) {
    std::string_view text(data, size);
    if (text.find('\0') != std::string_view::npos) {
        if (error)
            *error = "malformed XML: NUL byte";
        return true;
    }
    for (size_t pos = text.find("&#"); pos != std::string_view::npos; pos = text.find("&#", pos + 2)) {
        size_t i = pos + 2;
        int base = 10;
        if (i < text.size() && (text[i] == 'x' || text[i] == 'X')) {
            base = 16;
            ++i;
        }
        unsigned long cp = 0;
        size_t digits = 0;
        bool huge = false;
        for (; i < text.size() && text[i] != ';'; ++i, ++digits) {
            int d = DigitValue(text[i]);
            if (d < 0 || d >= base)
                break;
            if (cp > 0x10FFFF)
                huge = true;
            else
                cp = cp * static_cast<unsigned long>(base) + static_cast<unsigned long>(d);
        }
        if (i < text.size() && text[i] == ';' && digits > 0 && (huge || !XmlChar(cp))) {
            if (error)
                *error = "malformed XML: reference to a character XML does not allow";
            return true;
        }
    }
    return false;
}

std::string TextOf(const pugi::xml_node& n) {
    return n ? std::string(n.child_value()) : std::string();
}

}  // namespace

const char* ContentType(Version v) {
    return v == Version::k12 ? "application/soap+xml; charset=UTF-8" : "text/xml; charset=UTF-8";
}

const char* MediaType(Version v) {
    return v == Version::k12 ? "application/soap+xml" : "text/xml";
}

const char* Namespace(Version v) {
    return v == Version::k12 ? kNs12 : kNs11;
}

EnvelopeWriter::EnvelopeWriter(Version v) : version_(v) {
    pugi::xml_node decl = doc_.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "UTF-8";
    pugi::xml_node env = doc_.append_child(Qualified(v, "Envelope").c_str());
    env.append_attribute((std::string("xmlns:") + Prefix(v)).c_str()) = Namespace(v);
    body_ = env.append_child(Qualified(v, "Body").c_str());
}

std::string EnvelopeWriter::ToString() const {
    std::string out;
    StringWriter w(&out);
    doc_.save(w, "", pugi::format_raw, pugi::encoding_utf8);
    return out;
}

std::string BuildEnvelope(const pugi::xml_node& payload, Version v) {
    EnvelopeWriter w(v);
    w.Body().append_copy(payload);
    return w.ToString();
}

std::string BuildFault(std::string_view code, std::string_view reason, Version v) {
    EnvelopeWriter w(v);
    pugi::xml_node fault = w.Body().append_child(Qualified(v, "Fault").c_str());
    std::string c(code), r(reason);
    if (v == Version::k12) {
        fault.append_child(Qualified(v, "Code").c_str())
            .append_child(Qualified(v, "Value").c_str())
            .text()
            .set((std::string(Prefix(v)) + ":" + c).c_str());
        pugi::xml_node text =
            fault.append_child(Qualified(v, "Reason").c_str()).append_child(Qualified(v, "Text").c_str());
        text.append_attribute("xml:lang") = "en";
        text.text().set(r.c_str());
    } else {
        fault.append_child("faultcode").text().set((std::string(Prefix(v)) + ":" + c).c_str());
        fault.append_child("faultstring").text().set(r.c_str());
    }
    return w.ToString();
}

std::string_view LocalName(std::string_view name) {
    size_t colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

std::string NamespaceUri(const pugi::xml_node& element) {
    std::string_view name = element.name();
    size_t colon = name.find(':');
    std::string attr = colon == std::string_view::npos ? std::string("xmlns")
                                                       : "xmlns:" + std::string(name.substr(0, colon));
    for (pugi::xml_node n = element; n && n.type() == pugi::node_element; n = n.parent()) {
        pugi::xml_attribute a = n.attribute(attr.c_str());
        if (a)
            return a.value();
    }
    return std::string();
}

pugi::xml_node ChildByLocalName(const pugi::xml_node& parent, std::string_view localName) {
    for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling()) {
        if (c.type() == pugi::node_element && LocalName(c.name()) == localName)
            return c;
    }
    return pugi::xml_node();
}

std::string NodeToString(const pugi::xml_node& node) {
    std::string out;
    StringWriter w(&out);
    node.print(w, "", pugi::format_raw, pugi::encoding_utf8);
    return out;
}

bool Envelope::Parse(const char* data, size_t size, std::string* error) {
    body_ = pugi::xml_node();
    payload_ = pugi::xml_node();
    isFault_ = false;
    fault_ = Fault();
    if (ForbiddenCharacter(data, size, error))
        return false;
    pugi::xml_parse_result r = doc_.load_buffer(data, size, pugi::parse_default, pugi::encoding_utf8);
    if (!r) {
        if (error)
            *error =
                std::string("malformed XML: ") + r.description() + " at offset " + std::to_string(r.offset);
        return false;
    }
    pugi::xml_node env = doc_.document_element();
    if (!env || LocalName(env.name()) != "Envelope") {
        if (error)
            *error = "the document is not a SOAP envelope";
        return false;
    }
    std::string ns = NamespaceUri(env);
    if (ns == kNs12) {
        version_ = Version::k12;
    } else if (ns == kNs11) {
        version_ = Version::k11;
    } else {
        if (error)
            *error = "unknown SOAP envelope namespace \"" + ns + "\"";
        return false;
    }
    for (pugi::xml_node c = env.first_child(); c; c = c.next_sibling()) {
        if (c.type() == pugi::node_element && LocalName(c.name()) == "Body" && NamespaceUri(c) == ns) {
            body_ = c;
            break;
        }
    }
    if (!body_) {
        if (error)
            *error = "the SOAP envelope has no Body";
        return false;
    }
    for (pugi::xml_node c = body_.first_child(); c; c = c.next_sibling()) {
        if (c.type() == pugi::node_element) {
            payload_ = c;
            break;
        }
    }
    if (payload_ && LocalName(payload_.name()) == "Fault" && NamespaceUri(payload_) == ns) {
        isFault_ = true;
        if (version_ == Version::k12) {
            pugi::xml_node code = ChildByLocalName(ChildByLocalName(payload_, "Code"), "Value");
            fault_.code = std::string(LocalName(TextOf(code)));
            fault_.reason = TextOf(ChildByLocalName(ChildByLocalName(payload_, "Reason"), "Text"));
        } else {
            fault_.code = std::string(LocalName(TextOf(ChildByLocalName(payload_, "faultcode"))));
            fault_.reason = TextOf(ChildByLocalName(payload_, "faultstring"));
        }
    }
    return true;
}

}  // namespace soap
