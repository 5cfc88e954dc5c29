#pragma once

#include <QCheckBox>
#include <QFocusEvent>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QWidget>

#include <algorithm>

#include "Quillobrandt/app/FocusRing.h"

class QFrame;

namespace quillobrandt {

// A control of a toolbar: its symbol and its title, or, while the toolbar is short of room (a small or scaled
// screen), its symbol alone with the title as its tooltip. The title stays its text and accessible name.
class CompactableControl {
public:
    virtual ~CompactableControl() = default;
    virtual void setCompact(bool compact) = 0;
    virtual QSize fullSizeHint() const = 0;
    virtual QSize symbolOnlySizeHint() const = 0;
};

// `flat` controls draw their own focus ring while the keyboard (not a click) put the focus there.
template <typename Button, QStyle::ContentsType contents, QStyle::ControlElement element, bool flat>
class ToolbarControl final : public Button, public CompactableControl {
public:
    using Button::Button;

    void setCompact(bool compact) override {
        if (compact == compact_) {
            return;
        }
        compact_ = compact;
        this->setProperty("compact", compact);
        this->setToolTip(compact ? this->text() : QString());
        this->updateGeometry();
        this->update();
    }
    QSize fullSizeHint() const override { return Button::sizeHint(); }
    QSize symbolOnlySizeHint() const override {
        QStyleOptionButton option;
        this->initStyleOption(&option);
        option.text.clear();
        const QSize symbol = this->iconSize();
        const QSize inside(symbol.width(), std::max(symbol.height(), this->fontMetrics().height()));
        return this->style()->sizeFromContents(contents, &option, inside, this);
    }
    QSize sizeHint() const override { return compact_ ? symbolOnlySizeHint() : Button::sizeHint(); }
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void focusInEvent(QFocusEvent* event) override {
        keyboardFocus_ = event->reason() != Qt::MouseFocusReason;
        Button::focusInEvent(event);
    }
    void focusOutEvent(QFocusEvent* event) override {
        keyboardFocus_ = false;
        Button::focusOutEvent(event);
    }
    void paintEvent(QPaintEvent*) override {
        {
            QStylePainter painter(this);
            QStyleOptionButton option;
            this->initStyleOption(&option);
            if (compact_) {
                option.text.clear();
            }
            painter.drawControl(element, option);
        }
        if (flat && this->hasFocus() && keyboardFocus_) {
            paintFocusRing(*this);
        }
    }

private:
    bool compact_ = false;
    bool keyboardFocus_ = false;
};

using ToolbarButton = ToolbarControl<QPushButton, QStyle::CT_PushButton, QStyle::CE_PushButton, true>;
using ToolbarCheckBox = ToolbarControl<QCheckBox, QStyle::CT_CheckBox, QStyle::CE_CheckBox, false>;

// A row of controls in a horizontal layout (set by the owner). It asks for room for every title, and makes do
// with the symbols alone (its minimum) when given less: then every CompactableControl in it goes compact.
class Toolbar final : public QWidget {
public:
    using QWidget::QWidget;

    QSize sizeHint() const override { return measure(true); }
    QSize minimumSizeHint() const override { return measure(false); }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QSize measure(bool withTitles) const;
};

// A vertical line between groups of a toolbar, 24 pixels high.
QFrame* verticalDivider(QWidget* parent);

} // namespace quillobrandt
