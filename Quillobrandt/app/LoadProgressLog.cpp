#include "Quillobrandt/app/LoadProgressLog.h"

#include "Quillobrandt/app/DatabaseLoadStatistics.h"

namespace quillobrandt {

namespace {

constexpr int kPercentBetweenLines = 10;

// What a report says, its numbers aside: "Loading conversations 7 of 300..." is the step of all its siblings.
std::string stepOf(const std::string& message) {
    std::string step = message;
    std::erase_if(step, [](char c) { return c >= '0' && c <= '9'; });
    return step;
}

} // namespace

std::optional<std::string> LoadProgressLog::lineFor(const std::string& message, double fraction) {
    const int percent = progressPercent(fraction);
    const bool newStep = stepsLogged_.insert(stepOf(message)).second;
    const bool further = percent >= lastPercent_ + kPercentBetweenLines;
    const bool finished = percent >= 100 && lastPercent_ < 100;
    if (!newStep && !further && !finished) {
        return std::nullopt;
    }
    lastPercent_ = percent; // a step may start again from 0 (the copy, then the reading)
    return "Loading: " + message + " - " + std::to_string(percent) + "%";
}

} // namespace quillobrandt
