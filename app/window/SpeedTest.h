#pragma once
#include "transport/srt/SrtEndpoint.h"

#include <QDialog>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <memory>

class QLabel;
class QPushButton;
class ThreadTest;

namespace Ui {
class SpeedTest;
}

// The SRT upload speed test dialog. The main window creates it once (as its
// parent) and its "Speed Test" menu handler calls openFor() with the form's
// server text, stream ID and latency.
class SpeedTest : public QDialog
{
    Q_OBJECT
public:
    explicit SpeedTest(QWidget *parent = nullptr);
    ~SpeedTest() override;

    // Checks the form's values (warning boxes on the parent window), resolves
    // the host, prepares the test and shows the dialog modally. Returns the
    // dialog's result, or -1 when a warning was shown instead.
    // A non-empty passphrase encrypts the test connection.
    int openFor(const QString &serverField, const QString &streamId, int latency,
                const QByteArray &passphrase = QByteArray());

    // Takes the endpoint (a dotted IPv4 address, the user's stream ID, the
    // latency and passphrase) for the runs, with "#speedtest" appended to
    // the stream ID. Returns true.
    bool prepareTest(const SrtEndpoint &endpoint);
    // Shows the current run's result; the run's worker must have finished.
    void showResult(qint64 elapsedMs, int errorCount);

    // The result label's text for a run of 10 MiB of which the server
    // acknowledged acknowledgedBytes in elapsedMs.
    static QString resultText(qint64 elapsedMs, qint64 acknowledgedBytes, qint64 sentPackets, int lostPackets,
                              int droppedPackets);
    static const char *const kNotAcknowledgedText;
    // What the server acknowledged over the run's time, in kbit/s.
    static int measuredKbps(qint64 elapsedMs, qint64 acknowledgedBytes);

    static const char *const kStyleSheet;

    // The share of the measured rate a broadcast can count on, sound included.
    static constexpr double kSafeShare = 0.7;
    // The advised video rate for a measured upload rate: the safe share less
    // the sound, rounded down to the form's step and kept within its limits.
    static int recommendedVideoKbps(int measuredKbps, int audioKbps, int minKbps, int maxKbps, int stepKbps);
    // The form's sound rate and video rate limits, for the advice after a run.
    void setRateLimits(int audioKbps, int minKbps, int maxKbps, int stepKbps);

signals:
    // The user took the advised video rate.
    void videoRateChosen(int kbps);

private slots:
    void on_cmdRun_clicked();
    void onProgressTick();

private:
    void startRun();
    void stopRun();
    void onWorkerResult(ThreadTest *worker);
    void showOutcome(const ThreadTest &worker);
    void stopWorkers();
    void addAdvice();
    void showAdvice(int measuredKbps);
    void hideAdvice();
    QWidget *messageParent();

    std::unique_ptr<Ui::SpeedTest> ui;

    SrtEndpoint m_endpoint;
    // The current run's worker. Workers are children of the dialog until they
    // have finished: a stopped one winding down, a finished run's one keeping
    // its connection open for the server to read the last data.
    QPointer<ThreadTest> m_worker;
    QTimer m_progressTimer;
    QLabel *m_advice = nullptr;
    QPushButton *m_useAdvice = nullptr;
    int m_audioKbps = 128;
    int m_minKbps = 128;
    int m_maxKbps = 100000;
    int m_stepKbps = 128;
    int m_recommendedKbps = 0;
};
