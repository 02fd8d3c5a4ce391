// The program's entry: one model for the life of the process, one window.
#include "KelvaneApp.h"

#include "DiagnosticsService.h"

#include <QApplication>
#include <QTimer>

#include <chrono>

namespace kelvane {
namespace {

// The longest an operation can last: a pass runs three adb commands one after
// another, each ended at most the kill grace after its time limit.
[[maybe_unused]] constexpr std::chrono::duration<double> longestOperation{
    3 * (DiagnosticsService::diagnosticsCommandTimeout + CommandRunner::killGraceSeconds)};
// Room for reaping and for the results to reach the model.
[[maybe_unused]] constexpr std::chrono::seconds quitMargin{5};

} // namespace

void endWithTheWindow(QApplication& app, KelvaneWindow& window, const std::shared_ptr<DiagnosticsViewModel>& model) {
    QApplication::setQuitOnLastWindowClosed(false);
#ifdef Q_OS_MACOS
    // The Mac convention: closing the window leaves the application running;
    // a click on its Dock icon shows the same window again (Qt reports the
    // reopen request as the application becoming active, even when it
    // already is), which starts a new refresh.
    Q_UNUSED(model);
    QObject::connect(&app, &QGuiApplication::applicationStateChanged, &window, [&window](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive) window.reopen();
    });
#else
    // Nothing is shown meanwhile; the event loop keeps delivering the
    // operations' results until the last one has ended.
    QObject::connect(&app, &QGuiApplication::lastWindowClosed, &window, [model] {
        model->whenIdle([] { QCoreApplication::quit(); });
        // A child the kernel does not let die (an adb stuck in a USB call)
        // never ends its operation: it must not keep an invisible
        // application alive for good.
        QTimer::singleShot(std::chrono::ceil<std::chrono::milliseconds>(longestOperation + quitMargin), qApp,
                           [] { QCoreApplication::quit(); });
    });
#endif
}

int runApplication(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(applicationName.data(), qsizetype(applicationName.size())));
    QGuiApplication::setDesktopFileName(QStringLiteral(KELVANE_APP_ID));

    // Created before the window and kept until the process ends: closing and
    // reopening the window shows the same state.
    const auto model = DiagnosticsViewModel::create(withQtServices());

    KelvaneWindow window(model);
    endWithTheWindow(app, window, model);
    window.show();
    return app.exec();
}

} // namespace kelvane
