// The floor for the panel's benchmark: an empty window of the panel's size, shown and left alone.
#include <QApplication>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QWidget window(nullptr, Qt::Tool | Qt::FramelessWindowHint);
    window.setWindowTitle(QStringLiteral("idle floor"));
    window.resize(240, 386);
    window.show();
    return QApplication::exec();
}
