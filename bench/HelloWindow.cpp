// The floor of the window benchmarks: the least a Qt Widgets program does to
// show a window with something drawn in it. One label in a window of
// Kelvane's size, so that both programs paint and send as many pixels.
#include "ContentView.h" // for the window size only; nothing of Kelvane is linked

#include <QApplication>
#include <QLabel>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QLabel label(QStringLiteral("Hello"));
    label.resize(kelvane::minimumWindowWidth, kelvane::minimumWindowHeight);
    label.show();
    return app.exec();
}
