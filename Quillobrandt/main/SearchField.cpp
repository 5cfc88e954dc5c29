#include "Quillobrandt/main/SearchField.h"

#include <QKeyEvent>

#include "Quillobrandt/app/SymbolIcon.h"

namespace quillobrandt {
namespace {

constexpr int kGlassSize = 14;
constexpr int kClearSize = 14;
constexpr int kInset = 6;

} // namespace

SearchField::SearchField(QWidget* parent)
    : QLineEdit(parent),
      glass_(new SymbolIcon(QStringLiteral("magnifyingglass"), kGlassSize, SymbolInk::secondaryLabel, this)),
      clearButton_(new SymbolButton(QStringLiteral("xmark.circle.fill"), kClearSize, SymbolInk::secondaryLabel,
                                    QStringLiteral("Clear Search"), this)) {
    clearButton_->setObjectName(QStringLiteral("clearSearchButton"));
    clearButton_->setMargin(3);
    clearButton_->setCursor(Qt::ArrowCursor);
    clearButton_->setFocusPolicy(Qt::NoFocus);
    clearButton_->hide();
    connect(clearButton_, &QPushButton::clicked, this, [this] {
        clear();
        setFocus();
    });
    connect(this, &QLineEdit::textChanged, this,
            [this](const QString& text) { clearButton_->setVisible(!text.isEmpty()); });
    // Room for the glass before the text and the clear button after it, whether shown or not, so the text does not
    // move when the button comes and goes.
    setTextMargins(kInset + kGlassSize + 4, 0, clearButton_->sizeHint().width(), 0);
    setMinimumHeight(clearButton_->sizeHint().height() + 2);
}

void SearchField::resizeEvent(QResizeEvent* event) {
    QLineEdit::resizeEvent(event);
    placeSymbols();
}

void SearchField::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier && !text().isEmpty()) {
        clear();
        event->accept();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

void SearchField::placeSymbols() {
    glass_->move(kInset, (height() - glass_->height()) / 2);
    const QSize button = clearButton_->sizeHint();
    clearButton_->setGeometry(width() - button.width() - 2, (height() - button.height()) / 2, button.width(),
                              button.height());
}

} // namespace quillobrandt
