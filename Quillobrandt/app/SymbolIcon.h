#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <optional>

class QAbstractButton;
class QPainter;

namespace quillobrandt {

// Small symbols of our own drawing, keyed by their designed names ("key.fill", "gear", "chevron.down", ...,
// and "AppIcon"). Each is an SVG compiled into the program, drawn in black ink and tinted here, so symbols look
// the same whatever icon theme or fonts the machine has. "AppIcon" keeps its own colours. An unknown name draws
// nothing: an empty square of the asked size.
bool isKnownSymbol(const QString& name);
QStringList knownSymbolNames();
QImage symbolImage(const QString& name, QSize pixelSize, const QColor& colour);
void paintSymbol(QPainter& painter, const QRectF& box, const QString& name, const QColor& colour);
QPixmap symbolPixmap(const QString& name, int size, const QColor& colour);
QIcon symbolIcon(const QString& name, int size, const QColor& colour);

// The ink of a symbol on a control that follows the control's palette (light or dark): its label colour, or that
// colour at half opacity (the secondary label colour).
enum class SymbolInk { label, secondaryLabel };

// Puts the symbol `name` on `button` as its icon, `size` pixels square, drawn in `ink` and drawn again whenever
// the button's palette changes; or in a fixed `colour`. The button keeps its text. Its properties "symbolName"
// and "symbolColour" say what is shown.
void setButtonSymbol(QAbstractButton& button, const QString& name, int size, SymbolInk ink);
void setButtonSymbol(QAbstractButton& button, const QString& name, int size, const QColor& colour);

// A plain button showing one symbol and no text, as large as the symbol and a small margin (a text button's
// minimum width does not apply). Its title is its accessible name and tooltip.
class SymbolButton final : public QPushButton {
    Q_OBJECT
public:
    SymbolButton(const QString& name, int size, SymbolInk ink, const QString& title, QWidget* parent = nullptr);
    SymbolButton(const QString& name, int size, const QColor& colour, const QString& title,
                 QWidget* parent = nullptr);

    // The room around the symbol on every side; 5 pixels unless set.
    void setMargin(int margin);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int margin_ = 5;
};

// A fixed-size widget showing one symbol.
class SymbolIcon final : public QWidget {
    Q_OBJECT
public:
    SymbolIcon(QString name, int size, QColor colour, QWidget* parent = nullptr);
    // In an ink that follows the widget's palette.
    SymbolIcon(QString name, int size, SymbolInk ink, QWidget* parent = nullptr);
    const QString& name() const { return name_; }
    const QColor& colour() const { return colour_; }
    void setName(const QString& name);
    void setColour(const QColor& colour);

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QString name_;
    QColor colour_;
    std::optional<SymbolInk> ink_;
};

} // namespace quillobrandt
