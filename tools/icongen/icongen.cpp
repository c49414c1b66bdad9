// Writes the program's icon for the desktop: a scalable SVG and PNGs of the usual sizes,
// in the hicolor theme's folder layout under the folder given, all drawn by the same
// code as the icon of the main window. Run at build time on the offscreen platform.

#include "ui/main/Icons.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgGenerator>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: korvane-icongen OUTPUT-FOLDER\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    const QString root = QString::fromLocal8Bit(argv[1]);

    const QString scalable = root + QStringLiteral("/hicolor/scalable/apps");
    if (!QDir().mkpath(scalable)) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(scalable));
        return 1;
    }
    QSvgGenerator svg;
    svg.setFileName(scalable + QStringLiteral("/korvane.svg"));
    svg.setSize(QSize(256, 256));
    svg.setViewBox(QRect(0, 0, 16, 16));
    svg.setTitle(QStringLiteral("Korvane"));
    {
        QPainter painter(&svg);
        painter.setRenderHint(QPainter::Antialiasing, true);
        DrawKorvaneIcon(painter, TIconKind::Program);
    }

    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString folder = root + QStringLiteral("/hicolor/%1x%1/apps").arg(size);
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        {
            QPainter painter(&image);
            painter.setRenderHint(QPainter::Antialiasing, true);
            painter.scale(size / 16.0, size / 16.0);
            DrawKorvaneIcon(painter, TIconKind::Program);
        }
        if (!QDir().mkpath(folder) || !image.save(folder + QStringLiteral("/korvane.png"))) {
            std::fprintf(stderr, "cannot write the %dx%d icon in %s\n", size, size,
                         qPrintable(folder));
            return 1;
        }
    }
    return 0;
}
