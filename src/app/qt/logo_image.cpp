#include "app/qt/logo_image.h"

#include <QPainter>

QImage LogoImage;

void LoadLogoImage() {
    LogoImage = QImage(QString::fromUtf16(LogoFileName), "PNG");
}

void DrawLogo(QPaintDevice& window, QPoint where) {
    if (LogoImage.isNull())
        return;
    QPainter painter(&window);
    painter.drawImage(QRect(where, LogoImage.size()), LogoImage);
}
