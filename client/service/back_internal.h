// Small wire helpers shared by the sources of CBack: numbers and names as the back server writes
// them, and names as it expects them.
#pragma once

#include <cstdint>
#include <string>

#include <pugixml.hpp>

namespace backwire {

// Decimal values; an empty or missing value reads as 0, a value beyond the range saturates.
int64_t ReadInt64(const char* text);
int32_t ReadInt32(const char* text);
std::string Int64Text(int64_t value);  // "%lld"

// A name from a reply: numeric character references decoded into the ANSI code page. Unlike
// CUtil::ChnDecode this has no length limit, so a deep path is never read as an empty name.
std::string DecodeName(const char* text);
// A name for a request: "&" escaped once (the XML layer escapes again), in UTF-8.
std::string EncodeName(const std::string& ansi);
// A plain value for a request (computer name, account): UTF-8, no escaping of its own.
std::string PlainText(const std::string& ansi);

// True for an element whose local name (prefix ignored) is `name`.
bool IsElement(const pugi::xml_node& node, const char* name);

}  // namespace backwire
