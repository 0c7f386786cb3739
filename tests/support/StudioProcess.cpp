#include "StudioProcess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QThread>

namespace {
constexpr int kPollMs = 50;

// ORVANTA_STUDIO names another build's studio, e.g. an uninstrumented peer
// for thread sanitizer builds, whose slowdown would make the receiver drop
// live packets as too late.
QString binaryPath()
{
    const QString chosen = qEnvironmentVariable("ORVANTA_STUDIO");
    return chosen.isEmpty() ? QStringLiteral(ORVANTA_BINARY_DIR "/tools/orvanta-studio/orvanta-studio") : chosen;
}
}

StudioProcess::StudioProcess(QStringList extraArguments) : m_extraArguments(std::move(extraArguments))
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

StudioProcess::~StudioProcess()
{
    stop();
}

QString StudioProcess::recordFile(const QString &id) const
{
    const QString name = findStream(status(), id, QStringLiteral("media")).value("record").toString();
    return name.isEmpty() ? QString() : QDir(m_recordDir.path()).filePath(name);
}

QByteArray StudioProcess::recording(const QString &id, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    const QJsonObject closed = waitForStream(id, QStringLiteral("media"), 0, timeoutMs, 0);
    const QString path = QDir(m_recordDir.path()).filePath(closed.value("record").toString());
    const qint64 bytes = count(closed, "bytes");
    // The studio may show the stream closed a moment before the file is.
    while (!closed.isEmpty() && QFileInfo(path).size() < bytes && !deadline.hasExpired())
        QThread::msleep(kPollMs);
    QFile file(path);
    return !closed.isEmpty() && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool StudioProcess::start(int timeoutMs)
{
    const QStringList arguments{"--srt", QStringLiteral("%1:%2").arg(host()).arg(m_srtPort),
                                "--http", host() + QStringLiteral(":0"), "--record", m_recordDir.path()};
    m_process.start(binaryPath(), arguments + m_extraArguments);
    if (!m_process.waitForStarted(timeoutMs))
        return false;
    // "orvanta-studio: SRT 127.0.0.1:41234, HTTP 127.0.0.1:41235, ...", once both ports are bound.
    static const QRegularExpression startLine("orvanta-studio: SRT [0-9.]+:(\\d+), HTTP [0-9.]+:(\\d+)");
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
        m_process.waitForReadyRead(kPollMs);
        m_output += m_process.readAll();
        const QRegularExpressionMatch match = startLine.match(QString::fromUtf8(m_output));
        if (match.hasMatch()) {
            m_srtPort = quint16(match.captured(1).toUInt());
            m_httpPort = quint16(match.captured(2).toUInt());
            return true;
        }
    }
    output();
    return false;
}

bool StudioProcess::stop(int timeoutMs)
{
    if (m_process.state() == QProcess::NotRunning)
        return false;
    m_process.terminate();
    if (m_process.waitForFinished(timeoutMs)) {
        output();
        return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    }
    m_process.kill();
    m_process.waitForFinished(timeoutMs);
    return false;
}

QByteArray StudioProcess::output()
{
    // Takes up what the pipe holds now; a few short waits, so the call stays bounded.
    for (int i = 0; i < 10 && m_process.state() == QProcess::Running && m_process.waitForReadyRead(20); ++i)
        m_output += m_process.readAll();
    m_output += m_process.readAll();
    return m_output;
}

QByteArray StudioProcess::httpGet(const QString &path, int *statusCode, int timeoutMs) const
{
    QTcpSocket socket;
    socket.connectToHost(host(), m_httpPort);
    QByteArray response;
    if (socket.waitForConnected(timeoutMs)) {
        socket.write("GET " + path.toUtf8() + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired() && socket.state() == QAbstractSocket::ConnectedState) {
            socket.waitForReadyRead(kPollMs);
            response += socket.readAll();
        }
        response += socket.readAll();
    }
    const int headerEnd = response.indexOf("\r\n\r\n");
    if (statusCode)
        *statusCode = headerEnd < 0 ? -1 : response.mid(9, 3).toInt();
    return headerEnd < 0 ? QByteArray() : response.mid(headerEnd + 4);
}

QJsonObject StudioProcess::status() const
{
    return QJsonDocument::fromJson(httpGet(QStringLiteral("/status"))).object();
}

qint64 StudioProcess::count(const QJsonObject &stream, const char *key)
{
    return qint64(stream.value(QLatin1String(key)).toDouble());
}

QJsonObject StudioProcess::findStream(const QJsonObject &status, const QString &id, const QString &kind)
{
    QJsonObject found;
    for (const QJsonValue &value : status.value("streams").toArray()) {
        const QJsonObject stream = value.toObject();
        if (stream.value("id").toString() == id && stream.value("kind").toString() == kind)
            found = stream;
    }
    return found;
}

QJsonObject StudioProcess::waitForStream(const QString &id, const QString &kind, qint64 minBytes, int timeoutMs,
                                         int connected) const
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        const QJsonObject stream = findStream(status(), id, kind);
        const bool bytesOk = count(stream, "bytes") >= minBytes;
        const bool stateOk = connected < 0 || stream.value("connected").toBool() == bool(connected);
        if (!stream.isEmpty() && bytesOk && stateOk)
            return stream;
        if (deadline.hasExpired())
            return QJsonObject();
        QCoreApplication::processEvents(QEventLoop::AllEvents, kPollMs);
        QThread::msleep(kPollMs);
    }
}
