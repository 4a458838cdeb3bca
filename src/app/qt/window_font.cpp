#include "app/qt/window_font.h"

#include <QFile>
#include <QFontDatabase>
#include <QFontMetrics>

namespace {

const QString kFace = QStringLiteral("MS Sans Serif");

bool FaceAvailable() {
    static const bool available = [] {
        if (QFontDatabase::families().contains(kFace))
            return true;
        for (const char* path : {"/usr/share/wine/fonts/ms_sans_serif.ttf",
                                 "/usr/share/fonts/truetype/wine/ms_sans_serif.ttf"}) {
            if (QFile::exists(QString::fromLatin1(path)) &&
                QFontDatabase::addApplicationFont(QString::fromLatin1(path)) >= 0)
                return QFontDatabase::families().contains(kFace);
        }
        return false;
    }();
    return available;
}

}  // namespace

QFont WindowFont(int pixelHeight) {
    const auto make = [pixelHeight](const QString& face) {
        QFont font(face);
        font.setPixelSize(pixelHeight);
        font.setWeight(QFont::Normal);
        font.setStyleHint(QFont::SansSerif);
        return font;
    };
    if (FaceAvailable()) {
        // The face is drawn from fixed bitmaps; a size it has no bitmap for
        // (a large screen resolution) is better served by a scalable face.
        QFont font = make(kFace);
        if (QFontMetrics(font).height() >= pixelHeight)
            return font;
    }
    return make(QStringLiteral("Liberation Sans"));
}
