#include "diagnostics/LogFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <memory>
#include <mutex>

namespace {

struct LogState
{
    std::mutex lock;  // messages come from every thread
    std::unique_ptr<QFile> file;
    QString path;
    qint64 limit = LogFile::kDefaultLimitBytes;
    QtMessageHandler previous = nullptr;
};

// Never destroyed: messages may still come while static objects are torn
// down at exit, and the handler stays installed until the process ends.
LogState &state()
{
    static LogState *const instance = new LogState;
    return *instance;
}

const char *kindOf(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "debug";
    case QtInfoMsg:
        return "info";
    case QtWarningMsg:
        return "warning";
    case QtCriticalMsg:
        return "critical";
    case QtFatalMsg:
        return "fatal";
    }
    return "debug";
}

bool openFile(LogState &log)
{
    auto file = std::make_unique<QFile>(log.path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        return false;
    log.file = std::move(file);
    return true;
}

// Called with the lock held.
void rotateIfFull(LogState &log, qint64 adding)
{
    if (log.file->size() + adding <= log.limit)
        return;
    log.file->close();
    const QString older = log.path + QStringLiteral(".1");
    QFile::remove(older);
    QFile::rename(log.path, older);
    if (!openFile(log))
        log.file.reset();
}

void writeMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    LogState &log = state();
    {
        std::lock_guard<std::mutex> guard(log.lock);
        if (log.file) {
            const QByteArray line = QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toUtf8() + ' '
                                    + kindOf(type) + ": " + message.toUtf8() + '\n';
            rotateIfFull(log, line.size());
            if (log.file) {
                log.file->write(line);
                log.file->flush();
            }
        }
    }
    if (log.previous)
        log.previous(type, context, message);
    else
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}

} // namespace

QString LogFile::defaultPath()
{
    QString folder = qEnvironmentVariable("XDG_STATE_HOME");
    if (folder.isEmpty() || !QDir::isAbsolutePath(folder))
        folder = QDir::homePath() + QStringLiteral("/.local/state");
    return folder + QStringLiteral("/orvanta/orvanta.log");
}

bool LogFile::install(const QString &path, qint64 limitBytes)
{
    LogState &log = state();
    {
        std::lock_guard<std::mutex> guard(log.lock);
        if (log.file)
            return log.path == path;
        QDir().mkpath(QFileInfo(path).absolutePath());
        log.path = path;
        log.limit = qMax<qint64>(limitBytes, 1024);
        if (!openFile(log))
            return false;
    }
    log.previous = qInstallMessageHandler(writeMessage);
    return true;
}

void LogFile::uninstall()
{
    LogState &log = state();
    qInstallMessageHandler(log.previous);
    std::lock_guard<std::mutex> guard(log.lock);
    log.file.reset();
    log.path.clear();
    log.previous = nullptr;
}

QString LogFile::path()
{
    LogState &log = state();
    std::lock_guard<std::mutex> guard(log.lock);
    return log.file ? log.path : QString();
}
