#include "tests/gallery/KnownFaults.h"

namespace gallery {

const std::map<QString, KnownFault>& knownFaults() {
    using enum Fault;
    static const char* const wizard = "backup wizard: glyph icons and tips become symbols once its rework lands";
    static const std::map<QString, KnownFault> faults{
        {QStringLiteral("wizard-1-detecting"), {{glyphAsIcon}, wizard}},
        {QStringLiteral("wizard-1-detecting-no-tools"), {{glyphAsIcon}, wizard}},
        {QStringLiteral("wizard-2-detected"), {{glyphAsIcon}, wizard}},
        {QStringLiteral("wizard-3-overview"), {{glyphAsIcon, missingGlyph}, wizard}},
        {QStringLiteral("wizard-4-configure"), {{glyphAsIcon}, wizard}},
        {QStringLiteral("wizard-5-monitoring"), {{glyphAsIcon, missingGlyph}, wizard}},
        {QStringLiteral("wizard-6-extract"), {{glyphAsIcon}, wizard}},
        {QStringLiteral("wizard-6-extract-no-tools"), {{glyphAsIcon}, wizard}},
        {QStringLiteral("wizard-7-complete"), {{glyphAsIcon}, wizard}},
        {QStringLiteral("wizard-7-complete-no-tools"), {{glyphAsIcon}, wizard}},
    };
    return faults;
}

} // namespace gallery
