// zk-icontool: writes the program's icon as the desktop installs it, drawn by the same
// code as the window's icon: OUTDIR/zelta-kn.svg and OUTDIR/<N>x<N>/zelta-kn.png.

#include "app/icons/icons.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgGenerator>
#include <cstdio>

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: zk-icontool OUTDIR\n");
        return 2;
    }
    const QDir out(args.at(1));
    QSvgGenerator svg;
    svg.setFileName(out.filePath(QStringLiteral("zelta-kn.svg")));
    svg.setSize(QSize(32, 32));
    svg.setViewBox(QRect(0, 0, 32, 32));
    svg.setTitle(QStringLiteral("ЗЕЛТА-КН"));
    {
        QPainter p(&svg);
        zk::paintProgramIcon(p, 32);
    }
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString folder = QStringLiteral("%1x%1").arg(size);
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        {
            QPainter p(&image);
            zk::paintProgramIcon(p, size);
        }
        if (!out.mkpath(folder) || !image.save(out.filePath(folder + QStringLiteral("/zelta-kn.png")))) {
            std::fprintf(stderr, "zk-icontool: cannot write %s\n", qPrintable(out.filePath(folder)));
            return 1;
        }
    }
    return 0;
}
