// Build-time helper: renders one SVG picture into a PNG of the given size.
//   orvanta_svgtopng INPUT.svg OUTPUT.png WIDTH HEIGHT
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTextStream err(stderr);
    if (args.size() != 5) {
        err << "usage: orvanta_svgtopng INPUT.svg OUTPUT.png WIDTH HEIGHT\n";
        return 2;
    }
    QSvgRenderer renderer(args.at(1));
    if (!renderer.isValid()) {
        err << "cannot read " << args.at(1) << "\n";
        return 1;
    }
    const QSize size(args.at(3).toInt(), args.at(4).toInt());
    if (size.isEmpty()) {
        err << "bad size " << args.at(3) << "x" << args.at(4) << "\n";
        return 2;
    }
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform
                           | QPainter::TextAntialiasing);
    renderer.render(&painter);
    painter.end();
    if (!image.convertToFormat(QImage::Format_ARGB32).save(args.at(2), "PNG")) {
        err << "cannot write " << args.at(2) << "\n";
        return 1;
    }
    return 0;
}
