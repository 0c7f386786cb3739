#include "StudioProcess.h"

#include "FreePorts.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QThread>

namespace {
constexpr int kStartAttempts = 3;
constexpr int kPollMs = 50;
}

StudioProcess::StudioProcess(QStringList extraArguments) : m_extraArguments(std::move(extraArguments))
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

StudioProcess::~StudioProcess()
{
    stop();
}

QString StudioProcess::binaryPath()
{
    return QStringLiteral(ORVANTA_BINARY_DIR "/tools/orvanta-studio/orvanta-studio");
}

// The studio's naming, as its README describes it: bytes outside
// [A-Za-z0-9-_.] and a leading '.' as %XX; a stem longer than 200 characters
// keeps its first 160 (no %XX cut in two), then '~' and the first 16 bytes of
// the ID's SHA-256 in hex.
QString StudioProcess::recordFileName(const QByteArray &id)
{
    QByteArray stem;
    for (const char c : id) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'
                           || c == '_' || (c == '.' && !stem.isEmpty());
        stem += plain ? QByteArray(1, c) : '%' + QByteArray(1, c).toHex().toUpper();
    }
    if (stem.size() > 200) {
        int keep = 160;
        while (stem.lastIndexOf('%', keep - 1) > keep - 3)
            keep = int(stem.lastIndexOf('%', keep - 1));
        stem = stem.left(keep) + '~' + QCryptographicHash::hash(id, QCryptographicHash::Sha256).left(16).toHex();
    }
    return QString::fromLatin1(stem) + QStringLiteral(".ts");
}

QString StudioProcess::recordFile(const QString &id) const
{
    return QDir(m_recordDir.path()).filePath(recordFileName(id.toUtf8()));
}

bool StudioProcess::start(int timeoutMs)
{
    // A port found free may be taken by a parallel test before the server binds it: try again.
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        const QList<quint16> ports = freeLoopbackPorts(2);
        if (ports.size() < 2)
            return false;
        m_srtPort = ports.at(0);
        m_httpPort = ports.at(1);
        QStringList arguments{"--srt", QStringLiteral("127.0.0.1:%1").arg(m_srtPort), "--http",
                              QStringLiteral("127.0.0.1:%1").arg(m_httpPort), "--record", m_recordDir.path()};
        m_process.start(binaryPath(), arguments + m_extraArguments);
        if (!m_process.waitForStarted(timeoutMs))
            return false;
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
            int code = -1;
            httpGet(QStringLiteral("/status"), &code, 1000);
            if (code == 200)
                return true;
            m_process.waitForFinished(kPollMs);
        }
        output();
        if (m_process.state() == QProcess::Running)
            return false;
    }
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
    if (statusCode)
        *statusCode = -1;
    QTcpSocket socket;
    socket.connectToHost(host(), m_httpPort);
    if (!socket.waitForConnected(timeoutMs))
        return QByteArray();
    socket.write("GET " + path.toUtf8() + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray response;
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired() && socket.state() == QAbstractSocket::ConnectedState) {
        socket.waitForReadyRead(kPollMs);
        response += socket.readAll();
    }
    response += socket.readAll();
    const int headerEnd = response.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return QByteArray();
    if (statusCode)
        *statusCode = response.mid(9, 3).toInt();
    return response.mid(headerEnd + 4);
}

QJsonObject StudioProcess::status() const
{
    return QJsonDocument::fromJson(httpGet(QStringLiteral("/status"))).object();
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
        const bool bytesOk = qint64(stream.value("bytes").toDouble()) >= minBytes;
        const bool stateOk = connected < 0 || stream.value("connected").toBool() == bool(connected);
        if (!stream.isEmpty() && bytesOk && stateOk)
            return stream;
        if (deadline.hasExpired())
            return QJsonObject();
        QCoreApplication::processEvents(QEventLoop::AllEvents, kPollMs);
        QThread::msleep(kPollMs);
    }
}
