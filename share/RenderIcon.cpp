// Renders the app icon's SVG into the PNG sizes of the hicolor theme: render-icon <svg> <out-dir> <size>...
// Writes <out-dir>/<size>x<size>/apps/corvane.png for each size.
#include <QDir>
#include <QGuiApplication>
#include <QIcon>
#include <QPixmap>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc < 4) return 2;
    const QIcon icon(QString::fromLocal8Bit(argv[1]));
    for (int i = 3; i < argc; ++i) {
        const int size = QString(argv[i]).toInt();
        const QString folder = QString("%1/%2x%2/apps").arg(QString::fromLocal8Bit(argv[2])).arg(size);
        if (size <= 0 || !QDir().mkpath(folder)) return 1;
        if (!icon.pixmap(size, size).save(folder + "/corvane.png")) return 1;
    }
    return 0;
}
