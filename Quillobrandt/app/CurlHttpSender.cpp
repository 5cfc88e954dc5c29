#include "Quillobrandt/app/HttpSender.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace quillobrandt {
namespace {

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ListCleanup {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct UrlCleanup {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

std::size_t discardBody(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

} // namespace

bool isValidUrl(const std::string& text) {
    std::unique_ptr<CURLU, UrlCleanup> url(curl_url());
    return url && curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) == CURLUE_OK;
}

HttpResponse CurlHttpSender::send(const HttpRequest& request) {
    initialiseCurlOnce();
    std::unique_ptr<CURL, EasyCleanup> curl(curl_easy_init());
    if (!curl) {
        return {std::nullopt, "could not start a network request"};
    }
    std::unique_ptr<curl_slist, ListCleanup> headers;
    for (const auto& [name, value] : request.headers) {
        const std::string line = name + ": " + value;
        curl_slist* appended = curl_slist_append(headers.get(), line.c_str());
        if (appended == nullptr) {
            return {std::nullopt, "could not build the request headers"};
        }
        (void)headers.release();
        headers.reset(appended);
    }
    char errorBuffer[CURL_ERROR_SIZE] = {};
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    if (request.method != "GET") {
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.body.data());
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    }
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, static_cast<long>(request.timeout.count()));
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, discardBody);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);

    const CURLcode result = curl_easy_perform(handle);
    if (result != CURLE_OK) {
        return {std::nullopt, errorBuffer[0] != '\0' ? std::string(errorBuffer) : curl_easy_strerror(result)};
    }
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    return {status, std::nullopt};
}

} // namespace quillobrandt
