#include "Corvantesk/health/RecordedText.h"

#include "Corvantesk/core/Utf8Text.h"

namespace corvantesk {
namespace {

AnyCodable limited(const AnyCodable& value) {
    if (const auto* text = value.getIf<std::string>(); text != nullptr && text->size() > maxRecordedTextBytes) {
        return AnyCodable(utf8::prefixBytes(*text, maxRecordedTextBytes));
    }
    if (const auto* array = value.getIf<AnyCodable::Array>()) {
        AnyCodable::Array copy;
        copy.reserve(array->size());
        for (const auto& element : *array) {
            copy.push_back(limited(element));
        }
        return AnyCodable(std::move(copy));
    }
    if (const auto* object = value.getIf<AnyCodable::Object>()) {
        AnyCodable::Object copy = *object;
        limitRecordedValues(copy);
        return AnyCodable(std::move(copy));
    }
    return value;
}

} // namespace

std::string limitRecordedText(std::string text) {
    if (text.size() <= maxRecordedTextBytes) {
        return text;
    }
    return utf8::prefixBytes(text, maxRecordedTextBytes);
}

void limitRecordedValues(AnyMap& values) {
    for (auto& [key, value] : values) {
        value = limited(value);
    }
}

} // namespace corvantesk
