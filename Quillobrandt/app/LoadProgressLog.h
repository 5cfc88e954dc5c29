#pragma once

#include <optional>
#include <set>
#include <string>

namespace quillobrandt {

// Chooses which progress reports of one load become log lines ("Loading: <text> - <percent>%"): the first report
// of each step (a text, its counts aside), then one whenever the load has gone at least 10 points further, and the
// final one. A large history reports thousands of times, often at one and the same fraction; a line for each
// filled the small log many times over and rolled the start of the load out of it. One instance per load, used on
// one thread at a time.
class LoadProgressLog {
public:
    // The line to log for this report, or nothing.
    std::optional<std::string> lineFor(const std::string& message, double fraction);

private:
    std::set<std::string> stepsLogged_;
    int lastPercent_ = -1;
};

} // namespace quillobrandt
