#include "Corvantesk/health/RecordedText.h"

#include "platform/core/Utf8Text.h"

namespace corvantesk {

std::string limitRecordedText(std::string text) {
    if (text.size() <= maxRecordedTextBytes) {
        return text;
    }
    return std::string(platform::utf8::prefixBytes(text, maxRecordedTextBytes));
}

void limitRecordedValues(AnyMap& values) {
    cutLongTexts(values, maxRecordedTextBytes);
}

} // namespace corvantesk
