#pragma once

#include <array>
#include <optional>
#include <string>

namespace quillobrandt {

// The message theme chosen in the preferences; its raw value is also its display title.
enum class AppTheme { quillobrandt, professional };

inline constexpr std::array<AppTheme, 2> allAppThemes{AppTheme::quillobrandt, AppTheme::professional};

// "Quillobrandt (Gold/Pink)" or "Professional (Blue/Gray)".
std::string rawValue(AppTheme theme);
// The theme whose raw value is exactly `text`; nullopt for anything else.
std::optional<AppTheme> appThemeFromRawValue(const std::string& text);

} // namespace quillobrandt
