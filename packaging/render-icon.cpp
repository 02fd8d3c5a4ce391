// Draws the application's icon (an SVG file) at the sizes desktops ask for,
// once, when Kelvane is built: the program itself then carries pictures, and
// no start pays for drawing or even decoding them.
//
//   render-icon <icon.svg> <output directory> <size>...
//
// Writes <output directory>/kelvane-<size>.argb for each size: the pixels
// as they lie in memory in a QImage of Format_ARGB32_Premultiplied (one
// 32-bit word a pixel, in this machine's byte order), row after row.
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <icon.svg> <output directory> <size>...\n", argv[0]);
        return 2;
    }
    // No display needed: pictures are drawn in memory.
    qputenv("QT_QPA_PLATFORM", "minimal");
    QGuiApplication app(argc, argv);
    QSvgRenderer picture(QString::fromLocal8Bit(argv[1]));
    if (!picture.isValid()) {
        std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[1]);
        return 1;
    }
    for (int index = 3; index < argc; ++index) {
        const int side = std::atoi(argv[index]);
        QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        picture.render(&painter);
        painter.end();
        const QString path = QString::fromLocal8Bit(argv[2]) + QStringLiteral("/kelvane-%1.argb").arg(side);
        QFile file(path);
        const auto bytes = reinterpret_cast<const char*>(image.constBits());
        if (image.bytesPerLine() != side * 4 || !file.open(QIODevice::WriteOnly) ||
            file.write(bytes, image.sizeInBytes()) != image.sizeInBytes() || !file.flush()) {
            std::fprintf(stderr, "%s: cannot write %s\n", argv[0], qPrintable(path));
            return 1;
        }
    }
    return 0;
}
