// The application shell: one model for the life of the process, one window,
// and how the application ends.
#include "KelvaneApp.h"

#include "DiagnosticsService.h"
#include "FileDescriptor.h"
#include "ToolkitWarmUp.h"
#include "UIThreadExecutor.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDesktopServices>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QResource>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string_view>
#include <fcntl.h>
#include <unistd.h>

namespace kelvane {

// ---- The toolkit's services for the model ----------------------------------

Executor qtUIThread() {
    UIThreadExecutor executor;
    executor.attach();
    return executor.post();
}

ViewModelServices withQtServices(ViewModelServices services) {
    if (!services.onUIThread) services.onUIThread = qtUIThread();
    if (!services.isUIThread) {
        services.isUIThread = [] { return QThread::currentThread() == QCoreApplication::instance()->thread(); };
    }
    if (!services.openFile) {
        services.openFile = [](const std::string& path) {
            return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
        };
    }
    return services;
}

QIcon applicationIcon() {
    // The packaged picture, drawn from its SVG when Kelvane was built, as
    // raw pixels, one resource per size: read in place, with nothing to
    // decode and no image or icon plugin looked for. (Desktops show the
    // icon theme's "kelvane" through the desktop entry themselves; looking
    // it up here too would cost every start a search of the icon theme.)
    QIcon icon;
    for (const QString& side : QStringLiteral(KELVANE_ICON_SIZES).split(QLatin1Char(' '))) {
        const QResource pixels(QStringLiteral(":/kelvane-%1.argb").arg(side));
        const int length = side.toInt();
        if (!pixels.isValid() || pixels.compressionAlgorithm() != QResource::NoCompression || pixels.size() != qint64(length) * length * 4) continue;
        const QImage picture(pixels.data(), length, length, length * 4, QImage::Format_ARGB32_Premultiplied);
        icon.addPixmap(QPixmap::fromImage(picture));
    }
    return icon;
}

// ---- How the application ends ------------------------------------------------

void endWithTheWindow(QApplication& app, KelvaneWindow& window, const std::shared_ptr<DiagnosticsViewModel>& model,
                      [[maybe_unused]] std::chrono::milliseconds limit) {
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
    QObject::connect(&app, &QGuiApplication::lastWindowClosed, &window, [model, limit] {
        model->whenIdle([] { QCoreApplication::quit(); });
        QTimer::singleShot(limit, qApp, [] { QCoreApplication::quit(); });
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
    // Never closed: a signal may come while the process ends.
    auto* ends = new std::pair<FileDescriptor, FileDescriptor>;
    if (makePipe(ends->first, ends->second, true) != 0) return;
    signalPipe = ends->second.get();
    auto* notifier = new QSocketNotifier(ends->first.get(), QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window, model, fd = ends->first.get()] {
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

namespace {

constexpr std::string_view programName = "kelvane";
constexpr std::string_view programDescription =
    "Shows an Android phone's screen through adb and scrcpy, with a checklist of what\n"
    "the mirror needs. kelvane-doctor runs the same checks in a terminal.";

// Answers --help and --version, before the window toolkit starts (it needs
// a display); other options are the toolkit's own, for QApplication. Gives
// the exit status when it has answered.
std::optional<int> answerCommandLine(int argc, char** argv) {
    // Nothing asked: the usual start, spared the parser.
    if (argc <= 1) return std::nullopt;
    QStringList arguments;
    for (int index = 0; index < argc; ++index) arguments << QString::fromLocal8Bit(argv[index]);
    QCoreApplication::setApplicationVersion(QStringLiteral(KELVANE_VERSION));
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QString::fromUtf8(programDescription.data(), qsizetype(programDescription.size())));
    // Help of its own: Qt's would offer --help-all, whose toolkit options
    // cannot be listed before the toolkit starts.
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays help on commandline options."));
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    parser.parse(arguments);
    const QString name = QString::fromUtf8(programName.data(), qsizetype(programName.size()));
    QString text;
    if (parser.isSet(help)) {
        // Without an application object Qt does not know the program's name.
        text = parser.helpText().replace(QStringLiteral("<executable_name>"), name);
    } else if (parser.isSet(version)) {
        text = name + QLatin1Char(' ') + QCoreApplication::applicationVersion() + QLatin1Char('\n');
    } else {
        return std::nullopt;
    }
    const QByteArray bytes = text.toLocal8Bit();
    const bool written = std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout) == std::size_t(bytes.size()) &&
                         std::fflush(stdout) == 0;
    return written ? 0 : 1;
}

} // namespace

namespace {

constexpr std::string_view noDisplayMessage =
    "kelvane needs a graphical desktop (no display found). In a terminal, use kelvane-doctor.\n";

bool applicationStarted = false;
QtMessageHandler toolkitsHandler = nullptr;

// Where the toolkit cannot reach a display it gives up with a fatal message
// and an abort; Kelvane says what to do instead and exits with 1.
void fatalWithoutDisplay(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtFatalMsg && !applicationStarted) {
        std::fputs(qPrintable(message + QLatin1Char('\n')), stderr);
        std::fputs(noDisplayMessage.data(), stderr);
        std::fflush(stderr);
        std::_Exit(1);
    }
    if (toolkitsHandler) {
        toolkitsHandler(type, context, message);
    } else {
        std::fputs(qPrintable(qFormatLogMessage(type, context, message) + QLatin1Char('\n')), stderr);
    }
}

// Whether a display can be looked for at all: on X11 and Wayland systems,
// one of their variables, or a platform chosen by hand.
bool displayNamed() {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
#else
    return true;
#endif
}

} // namespace

int runApplication(int argc, char** argv) {
    if (const std::optional<int> status = answerCommandLine(argc, argv)) return *status;
    if (!displayNamed()) {
        std::fputs(noDisplayMessage.data(), stderr);
        return 1;
    }
    ToolkitWarmUp warmUp;
    // The first check starts before the toolkit does: its commands run while
    // the toolkit starts and the window is built, and its result waits for
    // the event loop.
    UIThreadExecutor uiThread;
    ViewModelServices services;
    services.onUIThread = uiThread.post();
    services.isUIThread = uiThread.isUIThread();
    // Kept until the process ends: closing and reopening the window shows
    // the same state.
    const auto model = DiagnosticsViewModel::create(withQtServices(std::move(services)));
    model->refresh();

    toolkitsHandler = qInstallMessageHandler(fatalWithoutDisplay);
    QApplication app(argc, argv);
    applicationStarted = true;
    // Usually told already, by the toolkit itself as it started.
    warmUp.toolkitStarted();
    QApplication::setApplicationName(QString::fromUtf8(applicationName.data(), qsizetype(applicationName.size())));
    QGuiApplication::setDesktopFileName(QStringLiteral(KELVANE_APP_ID));
    QGuiApplication::setWindowIcon(applicationIcon());

    // A result already in is the window's first picture, with no picture of
    // the check under way before it.
    uiThread.attach();
    uiThread.runArrived();

    KelvaneWindow window(model);
    endWithTheWindow(app, window, model);
    endOnTerminationSignals(window, model);
    // So is one that came while the window was built.
    uiThread.runArrived();
    window.show();
    const int status = app.exec();
    warmUp.finish();
    return status;
}

} // namespace kelvane
