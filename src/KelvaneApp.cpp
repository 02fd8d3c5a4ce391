// The application shell: one model for the life of the process, one window,
// and how the application ends.
#include "KelvaneApp.h"

#include "DiagnosticsService.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

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

namespace {

// The write end of the pipe through which a signal handler reaches the
// event loop.
int signalPipe = -1;

void tellTheEventLoop(int signal) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe, &byte, 1);
    errno = saved;
}

} // namespace

void endOnTerminationSignals(KelvaneWindow& window, const std::shared_ptr<DiagnosticsViewModel>& model) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    for (const int fd : fds) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    signalPipe = fds[1];
    auto* notifier = new QSocketNotifier(fds[0], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window, model, fd = fds[0]] {
        unsigned char byte = 0;
        while (::read(fd, &byte, 1) > 0) {
        }
        window.close();
        model->whenIdle([] { QCoreApplication::quit(); });
    });
    struct sigaction action {};
    action.sa_handler = tellTheEventLoop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
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
    endOnTerminationSignals(window, model);
    window.show();
    return app.exec();
}

} // namespace kelvane
