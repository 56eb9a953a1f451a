// MTOM/XOP packaging of SOAP messages that carry chunk bytes, shared by the client's SOAP channel
// and the reference service. Outgoing: a multipart/related body whose root part is the SOAP
// envelope (application/xop+xml) and whose other parts are binary attachments named by
// Content-ID and referenced from the XML by <xop:Include href="cid:..."/>. Incoming: a bounded
// parser that splits such a body into views of its parts without copying them, and a reader that
// takes an element's bytes either from an XOP include or from inline Base64 text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

#include "service/soapcodec.h"

namespace mtom {

inline constexpr const char* kXopNs = "http://www.w3.org/2004/08/xop/include";
inline constexpr const char* kXopMediaType = "application/xop+xml";

// Bounds of the parser: anything beyond them is refused as malformed.
inline constexpr size_t kMaxParts = 32;
inline constexpr size_t kMaxPartHeaderBytes = 16384;
inline constexpr size_t kMaxBoundaryLength = 70;  // RFC 2046

struct Part {
    std::string contentId;    // without the angle brackets
    std::string contentType;  // as sent, may be empty
    std::string_view bytes;   // points into the parsed body
};

// A parsed message. Views point into the caller's body, which must outlive the message.
struct Message {
    std::string_view root;          // the SOAP envelope text
    std::string rootContentType;    // e.g. application/xop+xml; type="application/soap+xml"
    std::vector<Part> attachments;  // every part but the root, in body order
    bool multipart = false;

    // The attachment named by a Content-ID or a "cid:" URL (percent-escapes decoded), or null.
    const Part* Find(std::string_view cidOrId) const;
};

// Splits an HTTP body by its Content-Type header value. multipart/related bodies are split into
// parts (the root is the part named by the "start" parameter, else the first); any other type
// yields the whole body as root without attachments. False with *error on a missing or bad
// boundary, a truncated body, too many parts, oversized part headers, or a transfer encoding
// other than binary/8bit/7bit.
bool Parse(std::string_view contentType, const char* data, size_t size, Message* out, std::string* error);

// An outgoing multipart/related MTOM body. Attachments are borrowed, not copied: the body is
// handed out as a list of pieces so a 4 MiB chunk travels straight from the caller's buffer.
// Add the attachments first (their ids go into the XML), then set the root envelope.
class Package {
  public:
    explicit Package(soap::Version v = soap::Version::k12);

    // Returns the attachment's Content-ID (without "cid:"). `bytes` must stay valid while the
    // package is used.
    std::string AddAttachment(std::string_view bytes,
                              const std::string& contentType = "application/octet-stream");
    void SetRoot(std::string envelope);

    // The HTTP Content-Type header value: multipart/related with boundary, type, start, start-info.
    std::string ContentType() const;
    // The body in order; the views stay valid while the package and the attachments live.
    std::vector<std::string_view> Pieces() const;
    size_t Size() const;
    std::string Flatten() const;  // the whole body as one string (copies)

  private:
    struct Attachment {
        std::string head;  // delimiter and MIME headers before the bytes
        std::string_view bytes;
    };
    soap::Version version_;
    std::string boundary_;
    std::string rootId_;
    std::string rootHead_;
    std::string root_;
    std::vector<Attachment> attachments_;
    std::string tail_;
    unsigned next_ = 1;
};

// Makes <xop:Include href="cid:ID"/> the only content of `element`.
void AddXopInclude(pugi::xml_node element, const std::string& contentId);

// The bytes an element carries: an xop:Include child naming an attachment of `message`, or the
// element's text as Base64 (whitespace allowed), decoded into *storage. *bytes then views either
// the attachment or *storage. False with *error on an unknown cid, an include without href, or
// Base64 that is not well formed.
bool ReadBinary(const pugi::xml_node& element, const Message& message, std::string_view* bytes,
                std::string* storage, std::string* error);

// The value of a parameter of a header such as Content-Type (case-insensitive name, quotes
// removed), or empty. `found` tells an empty value from a missing one.
std::string HeaderParam(std::string_view header, std::string_view name, bool* found = nullptr);
// The media type of a header value, lower-cased and without parameters.
std::string MediaType(std::string_view header);

}  // namespace mtom
