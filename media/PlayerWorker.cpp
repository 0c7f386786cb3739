#include "PlayerWorker.h"

#include "diagnostics/HappensBefore.h"
#include "media/engine/MFPreview.h"
#include "media/engine/MFReader.h"
#include "transport/ArrowSender.h"

#include <QDebug>
#include <new>

PlayerWorker::PlayerWorker(QObject *parent) : QThread(parent) {}

PlayerWorker::~PlayerWorker()
{
    stopPlay();
    if (!wait(kRestartWaitMs))
        qWarning() << "PlayerWorker: the play thread did not end";
    else
        HappensBefore::acquire(this);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_preview.reset();
    m_url.clear();
}

void PlayerWorker::setSplashPath(const QString &path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_splashPath = path;
}

QString PlayerWorker::splashPath() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_splashPath;
}

QString PlayerWorker::readerOptions() const
{
    return QStringLiteral("network.low_delay=true network.buffer_max=2 network.open_async=true "
                          "network.show_attempts=false network.open_image='%1'")
        .arg(splashPath());
}

void PlayerWorker::startPlay(const QString &url, quint64 window, const QByteArray &passphrase)
{
    qDebug() << "-- startPlay" << url << window;
    // A run that is still ending (its read returns within a second) is
    // waited for, so that a quick Stop and Start plays again.
    if (isRunning() && !wait(kRestartWaitMs)) {
        qWarning() << "PlayerWorker: the previous run did not end; not restarted";
        return;
    }
    HappensBefore::acquire(this);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_url = url;
        m_passphrase = passphrase;
    }
    m_window = window;
    m_stopRequested = false;
    start(QThread::InheritPriority);
}

void PlayerWorker::stopPlay()
{
    m_stopRequested = true;
    m_playing = false;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_url.clear();
    m_passphrase.clear();
}

void PlayerWorker::setWindow(quint64 handle)
{
    const std::shared_ptr<mf::MFPreview> preview = currentPreview();
    if (!preview)
        return;
    preview->attach(handle);
    m_window = handle;
}

void PlayerWorker::setMute(bool on)
{
    if (!m_playing || on == m_muted)
        return;
    qDebug() << (on ? "-- MUTE ON -- " : "-- MUTE OFF -- ");
    if (const std::shared_ptr<mf::MFPreview> preview = currentPreview())
        preview->enable(!on, true);
    m_muted = on;
}

ArrowSender *PlayerWorker::arrowSender()
{
    if (!m_arrowSender)
        m_arrowSender = std::make_unique<ArrowSender>();
    return m_arrowSender.get();
}

bool PlayerWorker::connectControl(const SrtEndpoint &endpoint)
{
    return m_arrowSender && m_arrowSender->connectControl(endpoint);
}

void PlayerWorker::closeControl()
{
    if (m_arrowSender)
        m_arrowSender->closeControl();
}

bool PlayerWorker::isControlConnected() const
{
    return m_arrowSender && m_arrowSender->isConnected();
}

std::shared_ptr<mf::MFPreview> PlayerWorker::currentPreview() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_preview;
}

void PlayerWorker::run()
{
    play();
    HappensBefore::release(this);
}

void PlayerWorker::play()
{
    qDebug() << "PlayerWorker2 run" << QThread::currentThread();
    std::unique_ptr<mf::MFReader> reader;
    try {
        reader = std::make_unique<mf::MFReader>();
    } catch (const std::bad_alloc &) {
        qCritical() << Q_FUNC_INFO << "ERROR: Can't create MFReader instance";
        return;
    }
    m_muted = false;

    auto preview = std::make_shared<mf::MFPreview>();
    preview->enable(true, true);
    preview->attach(m_window);
    QString url;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_preview = preview;
        url = m_url;
        reader->setPassphrase(m_passphrase);
    }

    if (m_stopRequested || !reader->open(url, readerOptions())) {
        if (!m_stopRequested)
            qCritical() << Q_FUNC_INFO << "ERROR: Can't open this media file";
        return;
    }
    qDebug() << "Start grabbing ";
    m_playing = !m_stopRequested;

    for (;;) {
        if (const mf::MFFramePtr frame = reader->read(-1))
            preview->put(frame, -1);
        else
            qDebug() << "-- FAILED READ FRAME";
        if (!m_playing || m_stopRequested) {
            reader->close();
            std::lock_guard<std::mutex> lock(m_mutex);
            m_preview.reset();
            break;
        }
    }
    m_playing = false;
}
