#include "app/Startup.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QtTest>

class TestStartup : public QObject
{
    Q_OBJECT
private slots:
    void linkArgument_data();
    void linkArgument();
    void styleSheetHasEveryRule();
    void styleSheetStylesNamedWidgets();
};

void TestStartup::linkArgument_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("link");
    QTest::newRow("program only") << QStringList{"orvanta"} << QString();
    QTest::newRow("no arguments at all") << QStringList{} << QString();
    QTest::newRow("link") << QStringList{"orvanta", "orvanta://h:9000/id"} << "orvanta://h:9000/id";
    QTest::newRow("any scheme") << QStringList{"orvanta", "x://h:1"} << "x://h:1";
    QTest::newRow("no scheme separator") << QStringList{"orvanta", "h:9000/id"} << QString();
    QTest::newRow("single slash") << QStringList{"orvanta", "orvanta:/h:9000"} << QString();
    QTest::newRow("only the first argument counts")
        << QStringList{"orvanta", "--verbose", "orvanta://h:9000/id"} << QString();
    QTest::newRow("later arguments ignored")
        << QStringList{"orvanta", "orvanta://a:1/x", "orvanta://b:2/y"} << "orvanta://a:1/x";
}

void TestStartup::linkArgument()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, link);
    QCOMPARE(Startup::linkArgument(arguments), link);
}

void TestStartup::styleSheetHasEveryRule()
{
    const QString sheet = Startup::styleSheet();
    const QStringList expected = {
        "MainWindow{background-color: #050F15;}",
        "QStatusBar::item{border: none;}",
        "QPushButton:checked{background: red; color: white;}",
        "WCapture{background-color: darkBlue;}",
        "QLineEdit#numberEdit{font-size: 24px; background: black; border: none; color: #EA700C;}",
        "QMenuBar::item::selected{background-color: rgb(49,49,49); color: rgb(255,255,255);}",
        "QMenu::item:selected{background-color: #654321;}",
    };
    for (const QString &rule : expected)
        QVERIFY2(sheet.contains(rule), qPrintable(rule));
    QCOMPARE(sheet.count(QLatin1Char('{')), 20);
    QCOMPARE(sheet.count(QLatin1Char('{')), sheet.count(QLatin1Char('}')));
}

void TestStartup::styleSheetStylesNamedWidgets()
{
    qApp->setStyleSheet(Startup::styleSheet());
    QWidget window;
    auto *plain = new QLineEdit(&window);
    auto *number = new QLineEdit(&window);
    number->setObjectName("numberEdit");
    auto *combo = new QComboBox(&window);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(plain->palette().color(QPalette::Text), QColor("#EA700C"));
    QCOMPARE(QFontInfo(plain->font()).pixelSize(), 14);
    QCOMPARE(QFontInfo(number->font()).pixelSize(), 24);
    QCOMPARE(combo->palette().color(QPalette::ButtonText), QColor("#EA700C"));
    qApp->setStyleSheet(QString());
}

QTEST_MAIN(TestStartup)
#include "tst_Startup.moc"
