#pragma once

#include <mutex>
#include <vector>

#include "Quillobrandt/app/HttpSender.h"

namespace qbtest {

// Records the requests a client would have put on the wire and answers each with `response`.
class RecordingHttpSender final : public quillobrandt::HttpSender {
public:
    quillobrandt::HttpResponse send(const quillobrandt::HttpRequest& request) override {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        return response_;
    }
    void setResponse(quillobrandt::HttpResponse response) {
        std::lock_guard lock(mutex_);
        response_ = std::move(response);
    }
    std::vector<quillobrandt::HttpRequest> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<quillobrandt::HttpRequest> requests_;
    quillobrandt::HttpResponse response_{204, std::nullopt};
};

} // namespace qbtest
