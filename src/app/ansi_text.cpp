#include "app/ansi_text.h"

#include <QStringDecoder>

QString FromAnsi(const std::string& bytes) {
    QStringDecoder decoder("windows-1252");
    if (!decoder.isValid())  // a toolkit built without that code page
        return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
    return decoder.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
}

QStringList SplitLines(const QString& text) {
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c != u'\r' && c != u'\n')
            continue;
        lines << text.mid(start, i - start);
        if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines << text.mid(start);
    return lines;
}
