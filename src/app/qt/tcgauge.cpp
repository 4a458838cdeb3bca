#include "app/qt/tcgauge.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QAccessibleWidget>
#include <QImage>
#include <QPainter>

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
    if (!value_.Set(value))
        return;
    repaint();
    if (QAccessible::isActive()) {
        QAccessibleValueChangeEvent event(this, value_.Get());
        QAccessible::updateAccessibility(&event);
    }
}

void TCGauge::paintEvent(QPaintEvent*) {
    const int progress = value_.Get();
    // Drawn into an image first: inverting the text needs a raster operation
    // that only an image surface guarantees.
    QImage canvas(size(), QImage::Format_RGB32);
    {
        QPainter p(&canvas);
        const QRect inner = canvas.rect().adjusted(1, 1, -1, -1);
        p.fillRect(canvas.rect(), Qt::black);
        p.fillRect(inner, Qt::white);
        p.fillRect(QRect(inner.topLeft(), QSize(inner.width() * progress / 100, inner.height())), DesktopColour);

        QFont font = this->font();
        font.setStyleStrategy(QFont::NoAntialias);  // every text pixel is fully inverted
        p.setFont(font);
        p.setPen(Qt::white);
        p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
        p.drawText(inner, Qt::AlignCenter, QStringLiteral("%1%").arg(progress));
    }
    QPainter(this).drawImage(0, 0, canvas);
}
