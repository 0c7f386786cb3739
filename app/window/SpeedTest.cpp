#include "app/window/SpeedTest.h"

#include "ui_SpeedTest.h"

#include "app/links/ServerField.h"
#include "diagnostics/LogLine.h"
#include "transport/srt/ResolveHost.h"
#include "transport/ThreadTest.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include <cmath>

const char *const SpeedTest::kStyleSheet = "SpeedTest{background-color: #050F15;}";
const char *const SpeedTest::kNotAcknowledgedText = "Test failed: the server stopped acknowledging data.";

SpeedTest::SpeedTest(QWidget *parent)
    : QDialog(parent)
    , ui(std::make_unique<Ui::SpeedTest>())
{
    ui->setupUi(this);
    setStyleSheet(QString::fromLatin1(kStyleSheet));
    ui->cmdRun->setToolTip(QStringLiteral("Send 10 MiB to the server and measure the upload rate; again to stop"));
    ui->cmdRun->setAccessibleName(QStringLiteral("Start or stop the speed test"));
    addAdvice();
    m_progressTimer.setInterval(1);
    connect(&m_progressTimer, &QTimer::timeout, this, &SpeedTest::onProgressTick);
}

SpeedTest::~SpeedTest()
{
    m_progressTimer.stop();
    stopWorkers();
}

// Workers of stopped runs may still be winding down; all are told at once and
// then awaited, so none is destroyed while it runs.
void SpeedTest::stopWorkers()
{
    const QList<ThreadTest *> workers = findChildren<ThreadTest *>(QString(), Qt::FindDirectChildrenOnly);
    for (ThreadTest *worker : workers)
        worker->requestStop();
    for (ThreadTest *worker : workers)
        worker->wait();
}

QWidget *SpeedTest::messageParent()
{
    return parentWidget() ? parentWidget() : this;
}

// The advice goes before Start on the button row and shows only after a result.
void SpeedTest::addAdvice()
{
    m_advice = new QLabel(this);
    m_advice->setObjectName(QStringLiteral("adviceLabel"));
    m_useAdvice = new QPushButton(QStringLiteral("Use it"), this);
    m_useAdvice->setObjectName(QStringLiteral("cmdUseRate"));
    m_useAdvice->setToolTip(QStringLiteral("Set the advised video bit rate in the form"));
    m_useAdvice->setAccessibleName(QStringLiteral("Use the advised video bit rate"));
    ui->horizontalLayout->insertWidget(0, m_advice);
    ui->horizontalLayout->insertWidget(1, m_useAdvice);
    connect(m_useAdvice, &QPushButton::clicked, this, [this] {
        if (m_recommendedKbps > 0)
            emit videoRateChosen(m_recommendedKbps);
    });
    hideAdvice();
}

void SpeedTest::hideAdvice()
{
    m_recommendedKbps = 0;
    m_advice->hide();
    m_useAdvice->hide();
}

int SpeedTest::recommendedVideoKbps(int measuredKbps, int audioKbps, int minKbps, int maxKbps, int stepKbps)
{
    const double usable = measuredKbps * kSafeShare - audioKbps;
    const int step = qMax(stepKbps, 1);
    const int rounded = int(std::floor(usable / step)) * step;
    return qBound(minKbps, rounded, maxKbps);
}

void SpeedTest::setRateLimits(int audioKbps, int minKbps, int maxKbps, int stepKbps)
{
    m_audioKbps = audioKbps;
    m_minKbps = minKbps;
    m_maxKbps = maxKbps;
    m_stepKbps = stepKbps;
}

void SpeedTest::showAdvice(int measuredKbps)
{
    m_recommendedKbps = recommendedVideoKbps(measuredKbps, m_audioKbps, m_minKbps, m_maxKbps, m_stepKbps);
    const bool tooSlow = measuredKbps * kSafeShare - m_audioKbps < m_minKbps;
    m_advice->setText(QStringLiteral("Advice: video %1 kbit/s").arg(m_recommendedKbps));
    QString why = QStringLiteral("%1 % of the measured %2 kbit/s, less %3 kbit/s for the sound")
                      .arg(qRound(kSafeShare * 100))
                      .arg(measuredKbps)
                      .arg(m_audioKbps);
    if (tooSlow)
        why += QStringLiteral("; the connection is too slow even for the lowest video bit rate");
    m_advice->setToolTip(why);
    m_advice->setStyleSheet(tooSlow ? QStringLiteral("QLabel{color: #ffb020;}") : QString());
    m_advice->show();
    m_useAdvice->show();
}

int SpeedTest::openFor(const QString &serverField, const QString &streamId, int latency,
                       const QByteArray &passphrase)
{
    if (streamId.isEmpty()) {
        QMessageBox::warning(messageParent(), QStringLiteral("Warning"), QStringLiteral("Please enter streamid."));
        return -1;
    }
    const ServerField server(serverField);
    if (!server.hasPort()) {
        QMessageBox::warning(messageParent(), QStringLiteral("Warning"), QLatin1String(ServerField::kIncorrectText));
        return -1;
    }
    const QString resolved = resolveHost(server.host());
    logLine(QStringLiteral("SPEED TEST TO SERVER : ") + server.host() + "(resolved to " + resolved + ")");
    prepareTest({resolved, server.port(), streamId, latency, passphrase});
    return exec();
}

bool SpeedTest::prepareTest(const SrtEndpoint &endpoint)
{
    m_endpoint = endpoint.withSuffix(QStringLiteral("#speedtest"));
    return true;
}

void SpeedTest::on_cmdRun_clicked()
{
    if (ui->cmdRun->isChecked())
        startRun();
    else
        stopRun();
}

void SpeedTest::startRun()
{
    hideAdvice();
    ui->progressBar->setValue(0);
    ui->label->setText(QStringLiteral("Sending data, please wait..."));
    // An earlier run's connection, still open for its last data, makes way.
    for (ThreadTest *earlier : findChildren<ThreadTest *>(QString(), Qt::FindDirectChildrenOnly))
        earlier->requestStop();
    ThreadTest *worker = new ThreadTest(m_endpoint, this);
    m_worker = worker;
    // resultReady is queued before finished, so the worker is read before it goes.
    connect(worker, &ThreadTest::resultReady, this, [this, worker = QPointer<ThreadTest>(worker)] {
        if (worker)
            onWorkerResult(worker);
    });
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start(QThread::HighPriority);
    m_progressTimer.start();
}

// The worker is told to stop and left to end on its own (it checks the request
// in every wait); nothing it does afterwards reaches the dialog.
void SpeedTest::stopRun()
{
    m_progressTimer.stop();
    if (m_worker)
        m_worker->requestStop();
    m_worker = nullptr;
    ui->label->setText(QStringLiteral("Test stopped."));
    ui->progressBar->setValue(0);
}

void SpeedTest::onProgressTick()
{
    if (!m_worker) {
        m_progressTimer.stop();
        return;
    }
    ui->progressBar->setValue(ThreadTest::kTotalBytes - m_worker->remaining());
}

void SpeedTest::onWorkerResult(ThreadTest *worker)
{
    if (worker != m_worker)
        return;
    m_progressTimer.stop();
    showOutcome(*worker);
    m_worker = nullptr;
}

void SpeedTest::showOutcome(const ThreadTest &worker)
{
    switch (worker.outcome()) {
    case ThreadTest::Outcome::ConnectFailed:
        ui->label->setText(QStringLiteral("Connection failed: ") + worker.connectResult().described());
        break;
    case ThreadTest::Outcome::NotAcknowledged:
        ui->label->setText(QString::fromLatin1(kNotAcknowledgedText));
        break;
    case ThreadTest::Outcome::Completed:
        ui->progressBar->setValue(ThreadTest::kTotalBytes);
        showResult(worker.elapsed(), worker.errorCount());
        return;
    case ThreadTest::Outcome::SendErrors:
        showResult(worker.elapsed(), worker.errorCount());
        return;
    case ThreadTest::Outcome::Running:
    case ThreadTest::Outcome::Stopped:
        break;
    }
    ui->cmdRun->setChecked(false);
}

void SpeedTest::showResult(qint64 elapsedMs, int errorCount)
{
    if (errorCount >= ThreadTest::kMaxErrors) {
        ui->label->setText(QStringLiteral("Test failed, count errors:") + QString::number(errorCount));
    } else if (m_worker && m_worker->statistics().packetsSentTotal > 0) {
        const SrtStatistics &statistics = m_worker->statistics();
        ui->label->setText(resultText(elapsedMs, m_worker->acknowledgedBytes(), statistics.packetsSentTotal,
                                  int(statistics.packetsLostTotal), int(statistics.packetsDroppedTotal)));
        showAdvice(measuredKbps(elapsedMs, m_worker->acknowledgedBytes()));
    }
    ui->cmdRun->setChecked(false);
}

int SpeedTest::measuredKbps(qint64 elapsedMs, qint64 acknowledgedBytes)
{
    // An instant transfer would divide by zero; count it as one millisecond.
    const double divisor = elapsedMs > 0 ? elapsedMs / 1000.0 : 0.001;
    return int(acknowledgedBytes * 8 / 1000.0 / divisor);
}

// The speed is what the server acknowledged, in kilobits per second; lost
// packets count every transmission that was reported lost, retransmissions
// included, so both percentages relate to all packets sent.
QString SpeedTest::resultText(qint64 elapsedMs, qint64 acknowledgedBytes, qint64 sentPackets, int lostPackets,
                              int droppedPackets)
{
    const double seconds = elapsedMs / 1000.0;
    const int speedKbs = measuredKbps(elapsedMs, acknowledgedBytes);
    const int lostPercent = int(lostPackets * 100.0 / sentPackets);
    const int droppedPercent = int(droppedPackets * 100.0 / sentPackets);
    return QStringLiteral("Speed: ") + QString::number(speedKbs) + QStringLiteral(" Kbs ( we sent ") + "10"
           + QStringLiteral(" Mb in ") + QString::number(seconds, 'g', 6) + QStringLiteral(" seconds)\nsend pkts: ")
           + QString::number(sentPackets) + QStringLiteral(", lost pkts:") + QString::number(lostPackets) + " ("
           + QString::number(lostPercent) + "%) " + QStringLiteral(", drops pkts:") + QString::number(droppedPackets)
           + " (" + QString::number(droppedPercent) + "%) ";
}
