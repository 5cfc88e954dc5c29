#include "Corvantesk/core/CurlHttpClient.h"

#include <curl/curl.h>

#include <memory>
#include <stop_token>

#include "Corvantesk/core/TransportError.h"

namespace corvantesk {
namespace {

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct MultiDeleter {
    void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

struct Transfer {
    HttpResponse response;
    std::size_t limit = 0;
    std::stop_token cancel;
};

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    const std::size_t bytes = size * count;
    const std::size_t room = transfer->limit - transfer->response.body.size();
    if (bytes > room) {
        transfer->response.body.append(data, room);
        transfer->response.bodyTruncated = true;
        return 0; // stops the transfer; the status line and headers are already known
    }
    transfer->response.body.append(data, bytes);
    return bytes;
}

std::string trimmed(std::string text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    const std::size_t bytes = size * count;
    const std::string line(data, bytes);
    if (line.starts_with("HTTP/")) {
        transfer->response.headers.clear(); // a new response (after "100 Continue")
        return bytes;
    }
    const auto colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        for (char& c : name) {
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c - 'A' + 'a');
            }
        }
        transfer->response.headers.emplace_back(trimmed(name), trimmed(line.substr(colon + 1)));
    }
    return bytes;
}

int onProgress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Transfer*>(context)->cancel.stop_requested() ? 1 : 0;
}

void initialiseCurlOnce() {
    static const bool initialised = [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        return true;
    }();
    (void)initialised;
}

} // namespace

CurlHttpClient::CurlHttpClient() {
    initialiseCurlOnce();
}

HttpResponse CurlHttpClient::post(const HttpRequest& request, std::stop_token cancel) {
    std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, request.url.c_str(), 0) != CURLUE_OK) {
        throw TransportError::invalidURL();
    }
    char* scheme = nullptr;
    if (curl_url_get(url.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) {
        throw TransportError::invalidURL();
    }
    const std::string schemeText(scheme);
    curl_free(scheme);
    if (schemeText != "http" && schemeText != "https") {
        throw TransportError::invalidURL();
    }

    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!easy) {
        throw TransportError::networkError("Could not start a transfer");
    }
    std::unique_ptr<curl_slist, ListDeleter> headers;
    for (const auto& [name, value] : request.headers) {
        const std::string line = name + ": " + value;
        curl_slist* extended = curl_slist_append(headers.get(), line.c_str());
        if (extended == nullptr) {
            throw TransportError::networkError("Out of memory");
        }
        headers.release();
        headers.reset(extended);
    }
    // No "Expect: 100-continue" round trip for larger bodies.
    if (curl_slist* extended = curl_slist_append(headers.get(), "Expect:")) {
        headers.release();
        headers.reset(extended);
    }

    Transfer transfer;
    transfer.limit = request.maxResponseBytes;
    transfer.cancel = cancel;
    char errorText[CURL_ERROR_SIZE] = {};
    CURL* h = easy.get();
    curl_easy_setopt(h, CURLOPT_CURLU, url.get());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.connectTimeout.count()));
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(request.totalTimeout.count()));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);

    // The multi interface lets a cancellation wake the transfer at once; the easy one would notice it only at its
    // next progress call, up to a second later while the server is silent.
    std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
    if (!multi || curl_multi_add_handle(multi.get(), h) != CURLM_OK) {
        throw TransportError::networkError("Could not start a transfer");
    }
    struct Detach {
        CURLM* multi;
        CURL* easy;
        ~Detach() { curl_multi_remove_handle(multi, easy); }
    } detach{multi.get(), h};
    std::stop_callback wake(cancel, [m = multi.get()] { curl_multi_wakeup(m); });
    CURLcode result = CURLE_OK;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
            throw TransportError::networkError("The transfer failed");
        }
        if (running == 0) {
            int left = 0;
            while (CURLMsg* message = curl_multi_info_read(multi.get(), &left)) {
                if (message->msg == CURLMSG_DONE && message->easy_handle == h) {
                    result = message->data.result;
                }
            }
            break;
        }
        if (cancel.stop_requested()) {
            throw TransportError::networkError("The request was cancelled");
        }
        if (curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr) != CURLM_OK) {
            throw TransportError::networkError("The transfer failed");
        }
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (result == CURLE_WRITE_ERROR && transfer.response.bodyTruncated && status > 0) {
        // We stopped reading an oversized reply ourselves; its status still counts.
    } else if (result != CURLE_OK) {
        if (result == CURLE_ABORTED_BY_CALLBACK) {
            throw TransportError::networkError("The request was cancelled");
        }
        throw TransportError::networkError(errorText[0] != '\0' ? std::string(errorText)
                                                                : std::string(curl_easy_strerror(result)));
    }
    transfer.response.statusCode = static_cast<int>(status);
    return std::move(transfer.response);
}

} // namespace corvantesk
