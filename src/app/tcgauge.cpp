#include "app/tcgauge.h"

#include <QImage>
#include <QPainter>

#include <algorithm>

TCGauge::TCGauge(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TCGauge::SetProgress(int value) {
    value = std::clamp(value, 0, 100);
    if (value == progress_)
        return;
    progress_ = value;
    repaint();
}

void TCGauge::paintEvent(QPaintEvent*) {
    // Drawn into an image first: inverting the text needs a raster operation
    // that only an image surface guarantees.
    QImage canvas(size(), QImage::Format_RGB32);
    {
        QPainter p(&canvas);
        const QRect inner = canvas.rect().adjusted(1, 1, -1, -1);
        p.fillRect(canvas.rect(), Qt::black);
        p.fillRect(inner, Qt::white);
        p.fillRect(QRect(inner.topLeft(), QSize(inner.width() * progress_ / 100, inner.height())),
                   DesktopColour);

        QFont font = this->font();
        font.setStyleStrategy(QFont::NoAntialias);  // every text pixel is fully inverted
        p.setFont(font);
        p.setPen(Qt::white);
        p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
        p.drawText(inner, Qt::AlignCenter, QStringLiteral("%1%").arg(progress_));
    }
    QPainter(this).drawImage(0, 0, canvas);
}
