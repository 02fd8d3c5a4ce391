// The program's entry: one model for the life of the process, one window.
#include "ContentView.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(kelvane::applicationName.data(),
                                                       qsizetype(kelvane::applicationName.size())));

    // Created before the window and kept until the process ends: closing and
    // reopening the window shows the same state.
    const auto model = kelvane::DiagnosticsViewModel::create(kelvane::withQtServices());

    kelvane::KelvaneWindow window(model);
#ifdef Q_OS_MACOS
    // The Mac convention: closing the window leaves the application running;
    // a click on its Dock icon shows the same window again (Qt reports the
    // reopen request as the application becoming active, even when it
    // already is), which starts a new refresh.
    QApplication::setQuitOnLastWindowClosed(false);
    QObject::connect(&app, &QGuiApplication::applicationStateChanged, &window, [&window](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive) window.reopen();
    });
#endif
    window.show();
    return app.exec();
}
