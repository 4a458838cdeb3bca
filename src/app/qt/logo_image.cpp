#include "app/qt/logo_image.h"

#include <QFile>
#include <QImageReader>
#include <QPainter>

QImage LogoImage;

void LoadLogoImage() {
    // Only the file of that name: given a name, Qt's reader would try others
    // (the name with ".png" or ".jpg" added) where it is missing, and probing
    // for formats other than PNG costs start-up a millisecond or more.
    QFile file(QString::fromUtf16(LogoFileName));
    if (!file.open(QIODevice::ReadOnly)) {
        LogoImage = QImage();
        return;
    }
    QImageReader reader(&file, "png");
    reader.setAutoDetectImageFormat(false);
    LogoImage = reader.read();
}

void DrawLogo(QPaintDevice& window, QPoint where) {
    if (LogoImage.isNull())
        return;
    QPainter painter(&window);
    painter.drawImage(QRect(where, LogoImage.size()), LogoImage);
}
