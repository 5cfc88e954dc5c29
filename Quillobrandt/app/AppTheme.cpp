#include "Quillobrandt/app/AppTheme.h"

namespace quillobrandt {

std::string rawValue(AppTheme theme) {
    switch (theme) {
    case AppTheme::quillobrandt:
        return "Quillobrandt (Gold/Pink)";
    case AppTheme::professional:
        return "Professional (Blue/Gray)";
    }
    return {};
}

std::optional<AppTheme> appThemeFromRawValue(const std::string& text) {
    for (AppTheme theme : allAppThemes) {
        if (rawValue(theme) == text) {
            return theme;
        }
    }
    return std::nullopt;
}

} // namespace quillobrandt
