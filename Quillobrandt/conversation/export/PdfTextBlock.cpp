#include "Quillobrandt/conversation/export/PdfTextBlock.h"

#include <QTextOption>

#include <algorithm>

namespace quillobrandt {

QString PdfTextBlock::printableText(const QString& text) {
    QString printable = text;
    printable.remove(QChar(0xFFFC));
    return printable;
}

PdfTextBlock::PdfTextBlock(const QString& text, const QFont& font, double widthLimit, double lineSpacing,
                           QPaintDevice* device)
    : text_(printableText(text)) {
    if (text_.isEmpty()) {
        return;
    }
    // The layout treats line feeds as paragraph separators.
    QString laidOut = text_;
    laidOut.replace(QLatin1Char('\n'), QChar::LineSeparator);
    layout_ = std::make_unique<QTextLayout>(laidOut, font, device);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout_->setTextOption(option);
    layout_->setCacheEnabled(true);

    double y = 0;
    double width = 0;
    layout_->beginLayout();
    for (;;) {
        QTextLine line = layout_->createLine();
        if (!line.isValid()) {
            break;
        }
        line.setLineWidth(std::max(1.0, widthLimit));
        if (!lines_.empty()) {
            y += lineSpacing;
        }
        line.setPosition(QPointF(0, y));
        y += line.height();
        width = std::max(width, line.naturalTextWidth());
        lines_.push_back({line.textStart(), line.textLength(), line.height()});
    }
    layout_->endLayout();
    size_ = QSizeF(std::min(std::max(0.0, width), std::max(1.0, widthLimit)), y);
}

void PdfTextBlock::draw(QPainter& painter, QPointF topLeft, const QColor& colour, double maxHeight) const {
    if (!layout_) {
        return;
    }
    painter.save();
    painter.setPen(colour);
    for (int i = 0; i < layout_->lineCount(); ++i) {
        const QTextLine line = layout_->lineAt(i);
        if (line.y() + line.height() > maxHeight + 0.5) {
            break;
        }
        line.draw(&painter, topLeft);
    }
    painter.restore();
}

} // namespace quillobrandt
