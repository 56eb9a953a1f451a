#include "service/curlproxy.h"

#include <optional>

#include "platform/system.h"

namespace curlproxy {

void Apply(CURL* easy, const proxyenv::Options& options, const std::string& url) {
    const std::optional<proxyenv::Route> route = proxyenv::ForOptions(options, url, &platform::GetEnv);
    if (!route) {
        curl_easy_setopt(easy, CURLOPT_PROXY, "");
        return;
    }
    const long type = route->type == proxyenv::Route::Type::kSocks4   ? CURLPROXY_SOCKS4
                      : route->type == proxyenv::Route::Type::kSocks5 ? CURLPROXY_SOCKS5
                                                                      : CURLPROXY_HTTP;
    const std::string address = route->proxy.Address();
    curl_easy_setopt(easy, CURLOPT_PROXYTYPE, type);
    curl_easy_setopt(easy, CURLOPT_PROXY, address.c_str());
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
    if (!route->user.empty()) {
        curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, route->user.c_str());
        curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, route->password.c_str());
    }
}

}  // namespace curlproxy
