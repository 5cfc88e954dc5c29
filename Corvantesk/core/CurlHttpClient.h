#pragma once

#include "Corvantesk/core/HttpClient.h"

namespace corvantesk {

// HttpClient on libcurl: one easy handle per request, http and https only, no redirects, no proxy
// authentication prompts, TLS peer and host verification on.
class CurlHttpClient final : public HttpClient {
public:
    CurlHttpClient();
    HttpResponse post(const HttpRequest& request, std::stop_token cancel) override;
};

} // namespace corvantesk
