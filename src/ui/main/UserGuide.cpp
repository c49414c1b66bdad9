#include "ui/main/UserGuide.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

QStringList UserGuideCandidates() {
    QStringList candidates;
    const QString programFolder = QCoreApplication::applicationDirPath();
    if (!programFolder.isEmpty()) {
        candidates << QDir::cleanPath(programFolder +
                                      QStringLiteral("/../share/doc/korvane/guide.html"));
    }
    candidates << QStringLiteral(KORVANE_BUILD_GUIDE);
    return candidates;
}

QString UserGuidePath() {
    for (const QString& path : UserGuideCandidates()) {
        if (QFileInfo(path).isFile()) {
            return path;
        }
    }
    return QString();
}
