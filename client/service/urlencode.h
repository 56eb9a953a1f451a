// CURLEncode: percent-encoding of query values for the authentication portal. Stateless; the set
// of characters always encoded is one constant shared by every instance.
#pragma once

#include <string>

class CURLEncode {
  public:
    // The 19 characters encoded besides controls, space and bytes from "{" (123) upwards.
    static const char kEncodeSet[];

    virtual ~CURLEncode();

    // Each encoded byte becomes "%" and two upper-case hex digits; the others are copied.
    std::string URLEncode(const std::string& text) const;
};
