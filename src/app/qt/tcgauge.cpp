#include "app/qt/tcgauge.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QAccessibleWidget>
#include <QBackingStore>
#include <QImage>
#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>
#include <QWindow>

#include <algorithm>
#include <charconv>
#include <span>
#include <cstdlib>

namespace {

// What accessibility tools see of the gauge: a progress bar and its value.
class GaugeAccessible final : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit GaugeAccessible(TCGauge* gauge) : QAccessibleWidget(gauge, QAccessible::ProgressBar) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value)
            return QStringLiteral("%1%").arg(Gauge()->Progress());
        return QAccessibleWidget::text(t);
    }
    QVariant currentValue() const override { return Gauge()->Progress(); }
    void setCurrentValue(const QVariant&) override {}  // only the upgrade moves it
    QVariant maximumValue() const override { return 100; }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }

private:
    TCGauge* Gauge() const { return static_cast<TCGauge*>(widget()); }
};

QAccessibleInterface* GaugeAccessibleFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("TCGauge") && object && object->isWidgetType())
        return new GaugeAccessible(static_cast<TCGauge*>(object));
    return nullptr;
}

}  // namespace

TCGauge::TCGauge(QWidget* parent) : QWidget(parent) {
    static const bool installed = [] {
        QAccessible::installFactory(GaugeAccessibleFactory);
        return true;
    }();
    (void)installed;
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TCGauge::SetProgress(int value) {
    const int before = value_.Get();
    if (!value_.Set(value))
        return;
    // Only what changed is drawn again, at once: the text and the part of the
    // bar between the old and the new end.
    PrepareGlyphs();
    const int from = FillEnd(before), to = FillEnd(value_.Get());
    const std::array<QRect, 2> changed{TextArea(), QRect(std::min(from, to), 1, std::abs(to - from), height() - 2)};
    if (!DrawStraightToWindow(changed))
        repaint(QRegion(changed[0]) + changed[1]);
    if (QAccessible::isActive()) {
        QAccessibleValueChangeEvent event(this, value_.Get());
        QAccessible::updateAccessibility(&event);
    }
}

// A transfer moves the gauge a hundred times, a few pixels each time, and each
// move must reach the screen at once while the product waits for its next
// report. The widget repaint machinery around so small a change costs many
// times the change itself, so the changed pixels go straight into the window's
// backing store and are flushed from there. A window that is not on screen,
// scaled, or not drawn in plain 32-bit pixels takes the ordinary repaint.
bool TCGauge::DrawStraightToWindow(const std::array<QRect, 2>& changed) {
    QWidget* top = window();
    const QWindow* handle = top->windowHandle();
    QBackingStore* store = backingStore();
    const bool drawnIntoTop = isWindow() || (!internalWinId() && nativeParentWidget() == top);
    if (!store || !handle || !handle->isExposed() || handle->surfaceType() != QSurface::RasterSurface ||
        !updatesEnabled() || !drawnIntoTop)
        return false;
    const QRegion visible = visibleRegion();
    if (visible.rectCount() != 1)
        return false;  // partly covered
    const QPoint offset = mapTo(top, QPoint());
    std::array<QRect, 2> parts{};
    QRegion inWindow;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        parts[i] = changed[i] & visible.boundingRect();
        inWindow += parts[i].translated(offset);
    }
    store->beginPaint(inWindow);
    QPaintDevice* device = store->paintDevice();
    auto* image = device && device->devType() == QInternal::Image ? static_cast<QImage*>(device) : nullptr;
    const bool plain = image && image->devicePixelRatio() == 1 &&
                       (image->format() == QImage::Format_RGB32 || image->format() == QImage::Format_ARGB32 ||
                        image->format() == QImage::Format_ARGB32_Premultiplied);
    if (plain) {
        for (const QRect& part : parts)
            Render(*image, part, offset);  // where the two overlap, the same pixels twice
    }
    store->endPaint();
    if (plain)
        store->flush(inWindow);
    return plain;
}

// The digits and the percent sign, each drawn once for the font in use: a
// transfer repaints the gauge at every step, and laying out and rasterising the
// text anew each time would cost more than the rest of the repaint together.
void TCGauge::PrepareGlyphs() {
    if (glyphsFont_ == font() && !glyphs_[0].isNull())
        return;
    QFont font = this->font();
    font.setStyleStrategy(QFont::NoAntialias);  // every text pixel is fully inverted
    glyphsFont_ = this->font();
    const QFontMetrics metrics(font);
    textHeight_ = metrics.height();
    for (std::size_t i = 0; i < kGlyphs.size(); ++i) {
        const QChar c = QLatin1Char(kGlyphs[i]);
        QImage& glyph = glyphs_[i];
        glyph = QImage(std::max(metrics.horizontalAdvance(c), 1), std::max(textHeight_, 1), QImage::Format_RGB32);
        glyph.fill(Qt::black);  // black leaves what lies beneath unchanged under XOR
        QPainter p(&glyph);
        p.setFont(font);
        p.setPen(Qt::white);  // white inverts it
        p.drawText(QPoint(0, metrics.ascent()), QString(c));
    }
    widestText_ = 0;  // "100%", or three of the widest digit
    for (std::size_t i = 0; i < 10; ++i)
        widestText_ = std::max(widestText_, 3 * glyphs_[i].width());
    widestText_ += glyphs_[10].width();
}

QRect TCGauge::Inner() const { return rect().adjusted(1, 1, -1, -1); }

int TCGauge::FillEnd(int progress) const { return Inner().x() + Inner().width() * progress / 100; }

QRect TCGauge::TextArea() const {
    const QRect inner = Inner();
    return {inner.x() + (inner.width() - widestText_) / 2, inner.y() + (inner.height() - textHeight_) / 2,
            widestText_, textHeight_};
}

// Computed pixel by pixel rather than painted: inverting the text needs a
// raster operation, and this way the same few lines serve the paint event and
// the straight path to the backing store, with no painter to set up per step.
void TCGauge::Render(QImage& target, const QRect& area, QPoint at) const {
    const QRect part = area & rect();
    if (part.isEmpty())
        return;
    constexpr QRgb black = 0xff000000u, white = 0xffffffffu;
    const QRgb bar = DesktopColour.rgb();
    const QRect inner = Inner();
    const int progress = value_.Get();
    const int fillEnd = FillEnd(progress);
    uchar* const bits = target.bits();  // one check that the image is not shared, not one per row
    const qsizetype stride = target.bytesPerLine();
    const auto line = [&](int y) { return reinterpret_cast<QRgb*>(bits + (y + at.y()) * stride) + at.x(); };

    // Each row: the border, the bar, the background and the border again.
    for (int y = part.top(); y <= part.bottom(); ++y) {
        QRgb* const pixels = line(y);
        const auto span = [&](int from, int to, QRgb colour) {
            from = std::max(from, part.left());
            to = std::min(to, part.right() + 1);
            if (from < to)
                std::fill(pixels + from, pixels + to, colour);
        };
        if (y < inner.top() || y > inner.bottom()) {
            span(part.left(), part.right() + 1, black);
            continue;
        }
        span(part.left(), inner.left(), black);
        span(inner.left(), fillEnd, bar);
        span(fillEnd, inner.right() + 1, white);
        span(inner.right() + 1, part.right() + 1, black);
    }

    // "N%", centred, each pixel of it the inverse of what lies beneath.
    std::array<char, 4> text{};
    char* const digitsEnd = std::to_chars(text.data(), text.data() + 3, progress).ptr;
    *digitsEnd = '%';
    const std::span<const char> shown(text.data(), digitsEnd + 1);
    const auto glyphOf = [this](char c) -> const QImage& {
        return glyphs_[c == '%' ? 10 : static_cast<std::size_t>(c - '0')];
    };
    int width = 0;
    for (const char c : shown)
        width += glyphOf(c).width();
    int left = inner.x() + (inner.width() - width) / 2;
    const int top = inner.y() + (inner.height() - textHeight_) / 2;
    for (const char c : shown) {
        const QImage& glyph = glyphOf(c);
        const QRect cover = QRect(QPoint(left, top), glyph.size()) & part;
        for (int y = cover.top(); y <= cover.bottom(); ++y) {
            QRgb* const pixels = line(y);
            const auto* source = reinterpret_cast<const QRgb*>(glyph.constScanLine(y - top));
            for (int x = cover.left(); x <= cover.right(); ++x)
                pixels[x] = (pixels[x] ^ source[x - left]) | black;
        }
        left += glyph.width();
    }
}

void TCGauge::paintEvent(QPaintEvent* event) {
    if (canvas_.size() != size())
        canvas_ = QImage(size(), QImage::Format_RGB32);
    PrepareGlyphs();
    const QRect area = event->rect();
    Render(canvas_, area, {});
    QPainter(this).drawImage(area.topLeft(), canvas_, area);  // clipped to the region by the widget's painter
}
