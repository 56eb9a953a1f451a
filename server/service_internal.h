// Shared pieces of the SOAP operation handlers (service*.cpp): the per-request context and small
// readers of request attributes.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <pugixml.hpp>

#include "service.h"
#include "service/soapcodec.h"

namespace kserver {

struct CSoapService::Context {
    ServiceKind kind = ServiceKind::Back;
    soap::Version version = soap::Version::k12;
    Account user;
    std::string host;
    std::string passport;
    const mtom::Message* message = nullptr;
    bool corrupt = false;                           // a fault asks to damage the bytes sent
    std::shared_ptr<const std::string> attachment;  // chunk bytes of a download reply
    std::shared_ptr<mtom::Package> package;
};

namespace wireattr {

// The attribute's value; false when it is missing.
inline bool Get(const pugi::xml_node& n, const char* name, std::string* out) {
    pugi::xml_attribute a = n.attribute(name);
    if (!a)
        return false;
    *out = a.value();
    return true;
}

inline bool YesNo(std::string_view v, bool* out) {
    if (v == "yes") {
        *out = true;
        return true;
    }
    if (v == "no") {
        *out = false;
        return true;
    }
    return false;
}

}  // namespace wireattr

}  // namespace kserver
