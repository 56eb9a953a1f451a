// SOAP envelopes around the service's payload elements, shared by the client's SOAP channel and
// the reference service. Writes SOAP 1.2 (or 1.1) envelopes, reads either version, and recognises
// faults. Payloads are plain element trees without namespaces (pugixml nodes); the envelope owns
// its document and every node handed out points into it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <pugixml.hpp>

namespace soap {

enum class Version { k11, k12 };

inline constexpr const char* kNs11 = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr const char* kNs12 = "http://www.w3.org/2003/05/soap-envelope";

// HTTP Content-Type of a plain (non-MTOM) envelope: "application/soap+xml; charset=UTF-8" for 1.2,
// "text/xml; charset=UTF-8" for 1.1.
const char* ContentType(Version v);
// The bare media type of the version ("application/soap+xml" or "text/xml").
const char* MediaType(Version v);
const char* Namespace(Version v);

// Builds an envelope: fill Body() with the payload, then serialise with ToString().
class EnvelopeWriter {
  public:
    explicit EnvelopeWriter(Version v = Version::k12);
    EnvelopeWriter(const EnvelopeWriter&) = delete;
    EnvelopeWriter& operator=(const EnvelopeWriter&) = delete;

    pugi::xml_node Body() { return body_; }
    Version version() const { return version_; }
    // UTF-8 text with an XML declaration, no indentation.
    std::string ToString() const;

  private:
    Version version_;
    pugi::xml_document doc_;
    pugi::xml_node body_;
};

// One-call forms: the payload tree copied into a fresh envelope, and a fault envelope.
// `code` is the fault's code without prefix: "Sender"/"Receiver" (1.2) or "Client"/"Server" (1.1).
std::string BuildEnvelope(const pugi::xml_node& payload, Version v = Version::k12);
std::string BuildFault(std::string_view code, std::string_view reason, Version v = Version::k12);

struct Fault {
    std::string code;    // local part of the fault code ("Sender", "Client", ...)
    std::string reason;  // the human-readable text
};

// A parsed envelope. Parse() accepts SOAP 1.1 and 1.2 (told apart by the envelope namespace).
class Envelope {
  public:
    Envelope() = default;
    Envelope(const Envelope&) = delete;
    Envelope& operator=(const Envelope&) = delete;

    // False with *error when the bytes are not well-formed XML, the root is not a SOAP Envelope
    // of either version, or it has no Body. Only UTF-8 is read; DTDs are never expanded.
    bool Parse(const char* data, size_t size, std::string* error);

    Version version() const { return version_; }
    pugi::xml_node Body() const { return body_; }
    // The first element inside Body (the operation element, or a Fault), or an empty node.
    pugi::xml_node Payload() const { return payload_; }
    bool IsFault() const { return isFault_; }
    const Fault& fault() const { return fault_; }

  private:
    pugi::xml_document doc_;
    Version version_ = Version::k12;
    pugi::xml_node body_;
    pugi::xml_node payload_;
    bool isFault_ = false;
    Fault fault_;
};

// The part of a qualified name after its prefix ("soap:Body" -> "Body").
std::string_view LocalName(std::string_view qualifiedName);
// The namespace URI bound to the element's prefix (or the default namespace), searching its
// ancestors; empty when none is declared.
std::string NamespaceUri(const pugi::xml_node& element);
// First element child with the given local name (namespace ignored), or an empty node.
pugi::xml_node ChildByLocalName(const pugi::xml_node& parent, std::string_view localName);

// Serialises a node (no declaration, no indentation) - for logging and for compressed lists.
std::string NodeToString(const pugi::xml_node& node);

}  // namespace soap
