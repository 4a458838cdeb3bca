#include "app/window_font.h"

#include <QFile>
#include <QFontDatabase>

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
    QFont font(FaceAvailable() ? kFace : QStringLiteral("Liberation Sans"));
    font.setPixelSize(pixelHeight);
    font.setWeight(QFont::Normal);
    font.setStyleHint(QFont::SansSerif);
    return font;
}
