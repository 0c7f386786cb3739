#include "diagnostics/LogLine.h"

#include <QtTest>

namespace {
QStringList captured;
QtMessageHandler previous = nullptr;
void capture(QtMsgType type, const QMessageLogContext &ctx, const QString &msg)
{
    captured << QString("%1|%2|%3").arg(type).arg(ctx.category).arg(msg);
}
}

class TestLogLine : public QObject
{
    Q_OBJECT
private slots:
    void writesMarkerThenMessageToDebugStream()
    {
        captured.clear();
        previous = qInstallMessageHandler(capture);
        logLine("relay started");
        qInstallMessageHandler(previous);
        QCOMPARE(captured, QStringList{QString("%1|orvanta.log|--LOG: \"relay started\"").arg(QtDebugMsg)});
    }
    void categoryCanBeSilenced()
    {
        captured.clear();
        QLoggingCategory::setFilterRules("orvanta.log.debug=false");
        previous = qInstallMessageHandler(capture);
        logLine("hidden");
        qInstallMessageHandler(previous);
        QLoggingCategory::setFilterRules(QString());
        QVERIFY(captured.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestLogLine)
#include "tst_LogLine.moc"
