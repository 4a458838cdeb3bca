#include "app/qt/tcgauge.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QAccessibleWidget>
#include <QImage>
#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>

#include <algorithm>
#include <cstdlib>
#include <vector>

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
    // bar between the old and the new end. A transfer takes a hundred steps.
    PrepareGlyphs();
    const int from = FillEnd(before), to = FillEnd(value_.Get());
    repaint(QRegion(TextArea()) + QRect(std::min(from, to), 1, std::abs(to - from), height() - 2));
    if (QAccessible::isActive()) {
        QAccessibleValueChangeEvent event(this, value_.Get());
        QAccessible::updateAccessibility(&event);
    }
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

void TCGauge::paintEvent(QPaintEvent* event) {
    // Drawn into an image first: inverting the text needs a raster operation
    // that only an image surface guarantees. Only the region asked for is drawn.
    if (canvas_.size() != size())
        canvas_ = QImage(size(), QImage::Format_RGB32);
    PrepareGlyphs();
    const int progress = value_.Get();
    QPainter p(&canvas_);
    p.setClipRegion(event->region());
    const QRect inner = Inner();
    p.fillRect(canvas_.rect(), Qt::black);
    p.fillRect(inner, Qt::white);
    p.fillRect(QRect(inner.topLeft(), QPoint(FillEnd(progress) - 1, inner.bottom())), DesktopColour);

    // "N%", centred, each pixel of it the inverse of what lies beneath.
    const QByteArray text = QByteArray::number(progress) + '%';
    std::vector<const QImage*> parts;
    int width = 0;
    for (const char c : text) {
        parts.push_back(&glyphs_[c == '%' ? 10 : static_cast<std::size_t>(c - '0')]);
        width += parts.back()->width();
    }
    p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    int x = inner.x() + (inner.width() - width) / 2;
    const int y = inner.y() + (inner.height() - textHeight_) / 2;
    for (const QImage* glyph : parts) {
        p.drawImage(x, y, *glyph);
        x += glyph->width();
    }
    p.end();
    QPainter(this).drawImage(0, 0, canvas_);  // clipped to the region by the widget's painter
}
