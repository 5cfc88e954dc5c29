#pragma once

#include <optional>
#include <string>

namespace corvantesk {

enum class FeedbackCategory { general, bug, featureRequest, praise, support };

// "general", "bug", "feature-request", "praise", "support".
std::string rawValue(FeedbackCategory category);
// nullopt for any other text.
std::optional<FeedbackCategory> feedbackCategoryFromRaw(const std::string& raw);

} // namespace corvantesk
