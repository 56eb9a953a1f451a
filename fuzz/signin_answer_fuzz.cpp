// Fuzz target: any bytes as the body of the portal's sign-in answer, read through
// CAuth::ParseAnswer after a plain status line, as RequestLogin reads it. The quoted-item rule
// ends a value at its closing quote, so no item it took may hold one.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "service/auth.h"

#include "check.h"

using fuzzcheck::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n";
    answer.append(reinterpret_cast<const char*>(data), size);
    CAuth auth;
    auth.ParseAnswer(answer.data(), answer.size());
    for (const std::string& v :
         {auth.GetMessage(), auth.GetRootFolder(), auth.GetPassport(), auth.GetTelephone(), auth.GetEmail()})
        Check(v.find('"') == std::string::npos);
    return 0;
}
