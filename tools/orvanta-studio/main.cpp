// orvanta-studio: the local stand-in for the server side of Orvanta.
#include "HttpFrontend.h"
#include "SrtHub.h"
#include "StudioOptions.h"
#include "StudioStatus.h"

#include <QCoreApplication>
#include <QDir>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

// SIGINT/SIGTERM end the event loop through a socket pair, so that shutdown
// runs in normal code rather than in the signal handler.
bool installQuitOnSignals(QCoreApplication &app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return false;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

int fail(const QString &message)
{
    std::fprintf(stderr, "orvanta-studio: %s\n", qPrintable(message));
    return 2;
}
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("orvanta-studio");
    StudioOptions options;
    QString error;
    if (!options.parse(app.arguments(), &error))
        return fail(error + " (see --help)");
    if (options.helpShown)
        return 0;
    if (!QDir().mkpath(options.recordDir))
        return fail("cannot create record folder " + options.recordDir);
    if (!installQuitOnSignals(app))
        return fail("cannot install signal handlers");

    StudioStatus status;
    SrtHub::Settings settings{options.srtHost, options.srtPort, options.recordDir,
                              options.feedback == QLatin1String("echo") ? QString() : options.feedback,
                              options.maxCallers, options.passphrase};
    SrtHub hub(settings, &status);
    if (!hub.open(&error))
        return fail("SRT listener on " + options.srtHost + ':' + QString::number(options.srtPort) + ": " + error);
    HttpFrontend http(&status, options.numbers, options.manifestFile);
    if (!http.listen(options.httpHost, options.httpPort, &error))
        return fail("HTTP on " + options.httpHost + ':' + QString::number(options.httpPort) + ": " + error);

    hub.start();
    // The ports as bound, so that a caller who asked for port 0 learns which.
    std::printf("orvanta-studio: SRT %s:%u, HTTP %s:%u, recording to %s, feedback %s%s\n", qPrintable(options.srtHost),
                hub.port(), qPrintable(options.httpHost), http.port(),
                qPrintable(QDir(options.recordDir).absolutePath()), qPrintable(options.feedback),
                options.passphrase.isEmpty() ? "" : ", encrypted");
    std::fflush(stdout);
    const int result = app.exec();
    hub.requestStop();
    hub.wait(5000);
    std::printf("orvanta-studio: stopped\n");
    return result;
}
