#include "app/window/DeviceRegistry.h"

#include "diagnostics/HappensBefore.h"
#include "media/Mixer.h"

#include <QThread>

DeviceRegistry::DeviceRegistry(QObject *parent) : QObject(parent) {}

DeviceRegistry::~DeviceRegistry()
{
    if (m_thread) {
        m_thread->wait();
        HappensBefore::acquire(this);
    }
}

void DeviceRegistry::refresh()
{
    m_lookingUp = true;
    if (m_thread && m_thread->isRunning()) {
        m_againRequested = true;
        return;
    }
    if (m_thread)
        HappensBefore::acquire(this);
    m_thread.reset(QThread::create([this] {
        scan();
        HappensBefore::release(this);
    }));
    m_thread->setObjectName(QStringLiteral("device look-up"));
    connect(m_thread.get(), &QThread::finished, this, &DeviceRegistry::scanFinished);
    m_thread->start();
}

void DeviceRegistry::scan()
{
    QStringList video;
    QStringList audio;
    Mixer::enumerateDevices(QStringLiteral("VIDEO"), video);
    Mixer::enumerateDevices(QStringLiteral("AUDIO"), audio);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_changed = !m_filled || video != m_video || audio != m_audio;
    m_video = video;
    m_audio = audio;
    m_filled = true;
}

void DeviceRegistry::scanFinished()
{
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        changed = m_changed;
        m_changed = false;
    }
    m_lookingUp = m_againRequested;
    if (changed)
        emit updated();
    if (m_againRequested) {
        m_againRequested = false;
        refresh();
    }
}

bool DeviceRegistry::isFilled() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_filled;
}

QStringList DeviceRegistry::videoDevices() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_video;
}

QStringList DeviceRegistry::audioDevices() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_audio;
}
