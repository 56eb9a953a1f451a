// How a libcurl handle reaches the service under the client's proxy options: the one place where
// proxyenv's decision becomes curl options, for the portal sign-in and the SOAP channels alike.
// Stateless; the handle is the caller's and is used on the caller's thread only.
#pragma once

#include <curl/curl.h>

#include <string>

#include "util/proxyenv.h"

namespace curlproxy {

// Sets the proxy for a request to `url` (the environment read through platform::GetEnv). Direct
// means no proxy at all: libcurl must not fall back on the environment's variables, and no_proxy
// was decided here, so libcurl does not read it again with rules of its own.
void Apply(CURL* easy, const proxyenv::Options& options, const std::string& url);

}  // namespace curlproxy
