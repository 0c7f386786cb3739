#pragma once
#include <QString>
#include <QThread>
#include <atomic>
#include <memory>
#include <mutex>

class ArrowSender;
struct SrtEndpoint;
namespace mf { class MFPreview; }

// Plays the server's feedback stream into a native window on a thread of its
// own, and owns the broadcast's arrow control channel.
class PlayerWorker : public QThread
{
    Q_OBJECT
public:
    // How long startPlay waits for a previous run that is still ending.
    static constexpr int kRestartWaitMs = 3000;

    explicit PlayerWorker(QObject *parent = nullptr);
    ~PlayerWorker() override;

    // A non-empty passphrase decrypts the feedback stream and encrypts the
    // arrow channel; it stays out of the URL, which is logged.
    void startPlay(const QString &url, quint64 window, const QByteArray &passphrase = QByteArray());
    void stopPlay();
    void setWindow(quint64 handle);
    quint64 window() const { return m_window; }
    void setMute(bool on);
    bool isPlaying() const { return m_playing; }
    bool isMuted() const { return m_muted; }

    ArrowSender *arrowSender();
    // Connects the arrow channel (ArrowSender::connectControl); false
    // before arrowSender() was first asked for.
    bool connectControl(const SrtEndpoint &endpoint);
    void closeControl();
    bool isControlConnected() const;

    // The preview of the current run, if any.
    std::shared_ptr<mf::MFPreview> currentPreview() const;

    // The picture shown while the stream connects (a file of the program's
    // own temporary folder); empty for none. Taken at the next startPlay.
    void setSplashPath(const QString &path);
    QString splashPath() const;

    QString readerOptions() const;

protected:
    void run() override;

private:
    void play();

    QString m_url;
    QString m_splashPath;
    QByteArray m_passphrase;
    std::shared_ptr<mf::MFPreview> m_preview;
    std::atomic<quint64> m_window{0};
    std::atomic<bool> m_playing{false};
    std::atomic<bool> m_muted{false};
    std::atomic<bool> m_stopRequested{false};
    std::unique_ptr<ArrowSender> m_arrowSender;
    mutable std::mutex m_mutex;  // guards m_url, m_splashPath, m_passphrase and m_preview
};
