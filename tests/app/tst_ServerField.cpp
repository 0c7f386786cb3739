#include "app/ServerField.h"
#include "tests/support/TestMain.h"

class TestServerField : public QObject
{
    Q_OBJECT

private slots:
    void split_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<bool>("hasPort");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::newRow("plain") << "studio.example:9000" << true << "studio.example:9000" << "studio.example" << 9000;
        QTest::newRow("scheme in any case") << "SRT://Host:9000" << true << "host:9000" << "host" << 9000;
        QTest::newRow("scheme twice") << "srt://srt://h:1" << true << "h:1" << "h" << 1;
        QTest::newRow("port not a number") << "host:abc" << true << "host:abc" << "host" << 0;
        QTest::newRow("third part stays in the text") << "h:9000:x" << true << "h:9000:x" << "h" << 9000;
        QTest::newRow("empty host") << ":9000" << true << ":9000" << "" << 9000;
        QTest::newRow("empty port") << "host:" << true << "host:" << "host" << 0;
        QTest::newRow("no colon") << "srt://studio.example" << false << "studio.example" << "" << 0;
        QTest::newRow("empty") << "" << false << "" << "" << 0;
    }

    void split()
    {
        QFETCH(QString, field);
        const ServerField server(field);
        QTEST(server.hasPort(), "hasPort");
        QTEST(server.text(), "text");
        QTEST(server.host(), "host");
        QTEST(server.port(), "port");
    }
};

ORVANTA_TEST_MAIN(TestServerField, TestMain::Core)
#include "tst_ServerField.moc"
