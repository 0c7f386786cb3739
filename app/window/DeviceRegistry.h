#pragma once
#include <QObject>
#include <QStringList>

#include <memory>
#include <mutex>

class QThread;

// The cameras and sound inputs of this machine, looked up on a thread of
// their own (a look-up opens the devices' back-ends, the sound server among
// them) and kept for every reader. updated() comes, on the owner's thread,
// after the first look-up and whenever a later one finds another list.
class DeviceRegistry : public QObject
{
    Q_OBJECT
public:
    explicit DeviceRegistry(QObject *parent = nullptr);
    // Waits for a look-up in progress; it ends by itself.
    ~DeviceRegistry() override;

    // Starts a look-up unless one runs; one asked for meanwhile follows it.
    void refresh();
    // A look-up runs or is asked for, or its updated() is still to come.
    bool isLookingUp() const { return m_lookingUp; }
    bool isFilled() const;
    QStringList videoDevices() const;
    QStringList audioDevices() const;

signals:
    void updated();

private:
    void scan();
    void scanFinished();

    std::unique_ptr<QThread> m_thread;
    bool m_againRequested = false;
    bool m_lookingUp = false;  // owner's thread only
    mutable std::mutex m_mutex;  // guards the lists and m_filled
    QStringList m_video;
    QStringList m_audio;
    bool m_filled = false;
    bool m_changed = false;
};
