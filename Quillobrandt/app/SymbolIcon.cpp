#include "Quillobrandt/app/SymbolIcon.h"

#include <QAbstractButton>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QPainter>
#include <QStyleOption>
#include <QSvgRenderer>
#include <memory>

#include "Quillobrandt/app/FocusRing.h"

// The resource file lives in this static library; the linker keeps it only when something names it.
static void initSymbolResources() {
    Q_INIT_RESOURCE(symbols);
}

namespace quillobrandt {
namespace {

// A designed name is letters, digits and dots; anything else (a path, say) names no symbol.
bool isPlainName(const QString& name) {
    if (name.isEmpty() || name.startsWith(QLatin1Char('.'))) {
        return false;
    }
    for (QChar c : name) {
        if (!(c.isLetterOrNumber() && c.unicode() < 0x80) && c != QLatin1Char('.')) {
            return false;
        }
    }
    return true;
}

QString resourcePath(const QString& name) {
    return QStringLiteral(":/symbols/") + name + QStringLiteral(".svg");
}

bool keepsOwnColours(const QString& name) {
    return name == QLatin1String("AppIcon");
}

// Parsed documents, shared by every caller (the PDF worker included), so a symbol is parsed once.
class RendererCache {
public:
    // Renders under the lock: QSvgRenderer is not safe to use from two threads at once.
    bool render(const QString& name, QPainter& painter, const QRectF& box) {
        QMutexLocker lock(&mutex_);
        auto found = renderers_.find(name);
        if (found == renderers_.end()) {
            std::shared_ptr<QSvgRenderer> renderer;
            if (isPlainName(name) && QFile::exists(resourcePath(name))) {
                renderer = std::make_shared<QSvgRenderer>(resourcePath(name));
                if (!renderer->isValid()) {
                    renderer.reset();
                }
            }
            found = renderers_.insert(name, renderer);
        }
        if (!*found) {
            return false;
        }
        (*found)->render(&painter, box);
        return true;
    }

private:
    QMutex mutex_;
    QHash<QString, std::shared_ptr<QSvgRenderer>> renderers_;
};

RendererCache& cache() {
    static RendererCache* shared = [] {
        initSymbolResources();
        return new RendererCache; // never destroyed: symbols may be drawn while statics go away
    }();
    return *shared;
}

// Black is full ink, white is none (a knock-out), grey is partial ink; the ink takes the tint's colour.
void tint(QImage& image, const QColor& colour) {
    const QRgb target = colour.rgba();
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = line[x];
            const int ink = qAlpha(pixel) * (255 - qGray(pixel)) / 255;
            line[x] = qRgba(qRed(target), qGreen(target), qBlue(target), ink * qAlpha(target) / 255);
        }
    }
}

QColor inkColour(const QWidget& widget, SymbolInk ink) {
    QColor colour = widget.palette().color(QPalette::WindowText);
    if (ink == SymbolInk::secondaryLabel) {
        colour.setAlphaF(0.5f);
    }
    return colour;
}

void showSymbol(QAbstractButton& button, const QString& name, int size, const QColor& colour) {
    button.setIcon(symbolIcon(name, size, colour));
    button.setIconSize(QSize(size, size));
    button.setProperty("symbolName", name);
    button.setProperty("symbolColour", colour);
}

// Draws a button's symbol again in its ink when the button's palette changes.
class SymbolRetint final : public QObject {
public:
    SymbolRetint(QAbstractButton& button, QString name, int size, SymbolInk ink)
        : QObject(&button), button_(button), name_(std::move(name)), size_(size), ink_(ink) {
        setObjectName(QStringLiteral("qb_symbolRetint"));
        button.installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &button_ && event->type() == QEvent::PaletteChange) {
            showSymbol(button_, name_, size_, inkColour(button_, ink_));
        }
        return false;
    }

private:
    QAbstractButton& button_;
    QString name_;
    int size_;
    SymbolInk ink_;
};

void dropRetint(QAbstractButton& button) {
    delete button.findChild<SymbolRetint*>(QStringLiteral("qb_symbolRetint"), Qt::FindDirectChildrenOnly);
}

} // namespace

bool isKnownSymbol(const QString& name) {
    cache();
    return isPlainName(name) && QFile::exists(resourcePath(name));
}

QStringList knownSymbolNames() {
    cache();
    QStringList names;
    for (const QString& file : QDir(QStringLiteral(":/symbols")).entryList({QStringLiteral("*.svg")}, QDir::Files)) {
        names << file.chopped(4);
    }
    return names;
}

QImage symbolImage(const QString& name, QSize pixelSize, const QColor& colour) {
    QImage image(pixelSize, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    if (pixelSize.isEmpty()) {
        return image;
    }
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        if (!cache().render(name, painter, QRectF(QPointF(0, 0), QSizeF(pixelSize)))) {
            return image;
        }
    }
    if (!keepsOwnColours(name)) {
        tint(image, colour);
    }
    return image;
}

void paintSymbol(QPainter& painter, const QRectF& box, const QString& name, const QColor& colour) {
    const qreal ratio = painter.device() != nullptr ? painter.device()->devicePixelRatioF() : 1.0;
    const double scale = std::max(1.0, ratio * std::max(painter.transform().m11(), painter.transform().m22()));
    const QSize pixels(qRound(box.width() * scale), qRound(box.height() * scale));
    painter.save();
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(box, symbolImage(name, pixels, colour));
    painter.restore();
}

QPixmap symbolPixmap(const QString& name, int size, const QColor& colour) {
    QPixmap pixmap = QPixmap::fromImage(symbolImage(name, QSize(size * 2, size * 2), colour));
    pixmap.setDevicePixelRatio(2.0);
    return pixmap;
}

QIcon symbolIcon(const QString& name, int size, const QColor& colour) {
    QIcon icon;
    icon.addPixmap(symbolPixmap(name, size, colour));
    // On a disabled control the symbol fades like its text.
    QColor faded = colour;
    faded.setAlphaF(colour.alphaF() * 0.25f);
    icon.addPixmap(symbolPixmap(name, size, faded), QIcon::Disabled);
    return icon;
}

void setButtonSymbol(QAbstractButton& button, const QString& name, int size, SymbolInk ink) {
    dropRetint(button);
    showSymbol(button, name, size, inkColour(button, ink));
    new SymbolRetint(button, name, size, ink);
}

void setButtonSymbol(QAbstractButton& button, const QString& name, int size, const QColor& colour) {
    dropRetint(button);
    showSymbol(button, name, size, colour);
}

SymbolButton::SymbolButton(const QString& name, int size, SymbolInk ink, const QString& title, QWidget* parent)
    : QPushButton(parent) {
    setButtonSymbol(*this, name, size, ink);
    setFlat(true);
    setToolTip(title);
    setAccessibleName(title);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

SymbolButton::SymbolButton(const QString& name, int size, const QColor& colour, const QString& title, QWidget* parent)
    : QPushButton(parent) {
    setButtonSymbol(*this, name, size, colour);
    setFlat(true);
    setToolTip(title);
    setAccessibleName(title);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void SymbolButton::setMargin(int margin) {
    margin_ = margin;
    updateGeometry();
}

QSize SymbolButton::sizeHint() const {
    return iconSize() + QSize(2 * margin_, 2 * margin_);
}

void SymbolButton::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QStyleOption option;
    option.initFrom(this);
    // A ring only once the keyboard moves focus, as the style does for other buttons.
    if (hasFocus() && option.state.testFlag(QStyle::State_KeyboardFocusChange)) {
        paintFocusRing(painter, QRectF(rect()), focusRingColour(palette(), palette().color(QPalette::Window)), 6);
    }
    const QSize size = iconSize();
    const QRect box(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
    if (!isEnabled()) {
        painter.setOpacity(0.35);
    } else if (isDown()) {
        painter.setOpacity(0.6);
    }
    icon().paint(&painter, box);
}

SymbolIcon::SymbolIcon(QString name, int size, QColor colour, QWidget* parent)
    : QWidget(parent), name_(std::move(name)), colour_(std::move(colour)) {
    setFixedSize(size, size);
    setAttribute(Qt::WA_TranslucentBackground);
}

SymbolIcon::SymbolIcon(QString name, int size, SymbolInk ink, QWidget* parent)
    : QWidget(parent), name_(std::move(name)), colour_(inkColour(*this, ink)), ink_(ink) {
    setFixedSize(size, size);
    setAttribute(Qt::WA_TranslucentBackground);
}

void SymbolIcon::setName(const QString& name) {
    name_ = name;
    update();
}

void SymbolIcon::setColour(const QColor& colour) {
    colour_ = colour;
    ink_.reset();
    update();
}

void SymbolIcon::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange && ink_) {
        colour_ = inkColour(*this, *ink_);
        update();
    }
    QWidget::changeEvent(event);
}

void SymbolIcon::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    paintSymbol(painter, QRectF(rect()), name_, colour_);
}

} // namespace quillobrandt
