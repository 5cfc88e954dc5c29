#include "Quillobrandt/conversation/Toolbar.h"

#include <QFrame>
#include <QLayout>

namespace quillobrandt {

void Toolbar::resizeEvent(QResizeEvent* event) {
    const bool compact = width() < sizeHint().width();
    for (QObject* child : children()) {
        if (auto* control = dynamic_cast<CompactableControl*>(child)) {
            control->setCompact(compact);
        }
    }
    QWidget::resizeEvent(event);
}

QSize Toolbar::measure(bool withTitles) const {
    const QLayout* row = layout();
    int width = 0;
    int height = 0;
    int shown = 0;
    for (int i = 0; i < row->count(); ++i) {
        const QWidget* part = row->itemAt(i)->widget();
        if (part == nullptr || part->isHidden()) {
            continue;
        }
        QSize size = part->sizeHint();
        if (const auto* control = dynamic_cast<const CompactableControl*>(part)) {
            size = withTitles ? control->fullSizeHint() : control->symbolOnlySizeHint();
        }
        width += size.width();
        height = std::max(height, size.height());
        ++shown;
    }
    const QMargins margins = row->contentsMargins();
    return {width + row->spacing() * std::max(0, shown - 1) + margins.left() + margins.right(),
            height + margins.top() + margins.bottom()};
}

QFrame* verticalDivider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::VLine);
    line->setFixedHeight(24);
    return line;
}

} // namespace quillobrandt
