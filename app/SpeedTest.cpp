#include "app/SpeedTest.h"

#include "ui_SpeedTest.h"

#include "app/ServerField.h"
#include "diagnostics/LogLine.h"
#include "transport/SrtConnect.h"
#include "transport/ThreadTest.h"

#include <QMessageBox>

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
    prepareTest(resolved, server.port(), streamId, latency, passphrase);
    return exec();
}

bool SpeedTest::prepareTest(QString host, int port, QString streamId, int latency, const QByteArray &passphrase)
{
    m_host = host;
    m_port = port;
    m_streamId = streamId + QStringLiteral("#speedtest");
    m_latency = latency;
    m_passphrase = passphrase;
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
    ui->progressBar->setValue(0);
    ui->label->setText(QStringLiteral("Sending data, please wait..."));
    // An earlier run's connection, still open for its last data, makes way.
    for (ThreadTest *earlier : findChildren<ThreadTest *>(QString(), Qt::FindDirectChildrenOnly))
        earlier->requestStop();
    ThreadTest *worker = new ThreadTest(m_host, m_port, m_streamId, m_latency, this, m_passphrase);
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
        ui->label->setText(QStringLiteral("Connection failed: ") + worker.connectFailure());
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
    } else if (m_worker && m_worker->statistics().pktSentTotal > 0) {
        const SRT_TRACEBSTATS &statistics = m_worker->statistics();
        ui->label->setText(resultText(elapsedMs, m_worker->acknowledgedBytes(), statistics.pktSentTotal,
                                  statistics.pktSndLossTotal, statistics.pktSndDropTotal));
    }
    ui->cmdRun->setChecked(false);
}

// The speed is what the server acknowledged, in kilobits per second; lost
// packets count every transmission that was reported lost, retransmissions
// included, so both percentages relate to all packets sent.
QString SpeedTest::resultText(qint64 elapsedMs, qint64 acknowledgedBytes, qint64 sentPackets, int lostPackets,
                              int droppedPackets)
{
    const double seconds = elapsedMs / 1000.0;
    // An instant transfer would divide by zero; count it as one millisecond.
    const double divisor = elapsedMs > 0 ? seconds : 0.001;
    const int speedKbs = int(acknowledgedBytes * 8 / 1000.0 / divisor);
    const int lostPercent = int(lostPackets * 100.0 / sentPackets);
    const int droppedPercent = int(droppedPackets * 100.0 / sentPackets);
    return QStringLiteral("Speed: ") + QString::number(speedKbs) + QStringLiteral(" Kbs ( we sent ") + "10"
           + QStringLiteral(" Mb in ") + QString::number(seconds, 'g', 6) + QStringLiteral(" seconds)\nsend pkts: ")
           + QString::number(sentPackets) + QStringLiteral(", lost pkts:") + QString::number(lostPackets) + " ("
           + QString::number(lostPercent) + "%) " + QStringLiteral(", drops pkts:") + QString::number(droppedPackets)
           + " (" + QString::number(droppedPercent) + "%) ";
}
