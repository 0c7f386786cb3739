#include "app/services/Startup.h"

#include "OrvantaVersion.h"
#include "diagnostics/LogFile.h"

#include <QtGlobal>

namespace Startup {

QString linkArgument(const QStringList &arguments)
{
    if (arguments.size() < 2)
        return QString();
    const QString &first = arguments.at(1);
    return first.contains(QLatin1String("://"), Qt::CaseSensitive) ? first : QString();
}

QString commandLineAnswer(const QStringList &arguments)
{
    if (arguments.size() < 2)
        return QString();
    const QString &first = arguments.at(1);
    const QString version = QStringLiteral("orvanta %1 (build %2)\n").arg(QLatin1String(ORVANTA_VERSION)).arg(ORVANTA_BUILD_NUMBER);
    if (first == QLatin1String("--version") || first == QLatin1String("-v"))
        return version;
    if (first != QLatin1String("--help") && first != QLatin1String("-h"))
        return QString();
    return version
           + QStringLiteral("Streams the screen, the camera and their sound to a studio server over SRT.\n"
                            "\n"
                            "Usage: orvanta [LINK]\n"
                            "\n"
                            "  LINK            a link such as orvanta://host:port/streamid/videokbps/audiokbps/HD:\n"
                            "                  fills the advanced form and starts streaming at once; a program\n"
                            "                  already running takes it over\n"
                            "  -h, --help      print this help and exit\n"
                            "  -v, --version   print the version and exit\n"
                            "\n"
                            "The session log is written to %1\n")
                 .arg(LogFile::defaultPath());
}

QString choosePlatform()
{
    if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM") || qEnvironmentVariableIsEmpty("DISPLAY"))
        return QString();
    qputenv("QT_QPA_PLATFORM", "xcb");
    return QStringLiteral("xcb");
}

namespace {
template <size_t N>
QString joinedRules(const char *const (&rules)[N])
{
    QString sheet;
    for (const char *rule : rules)
        sheet += QLatin1String(rule) + QLatin1Char('\n');
    return sheet;
}
} // namespace

QString styleSheet()
{
    static const char *const rules[] = {
        "MainWindow{background-color: #050F15;}",
        "QDialog{background-color: #050F15; border: 4px solid lightgray;}",
        "QStatusBar{background-color: transparent; color: white; font-weight: bold;}",
        "QStatusBar::item{border: none;}",
        "QLabel, QCheckBox, QRadioButton{font-size: 13px; color: white;}",
        "QToolBar{border: none;}",
        "QGroupBox{background-color: #0E2B47; border: 1px solid #34383A;}",
        "QPushButton:checked{background: red; color: white;}",
        "QPushButton#videoBtn, QPushButton#screenBtn, QPushButton#audioBtn, QPushButton#cropBtn"
        "{background-color: #0E2B47; border: 1px solid #34383A;}",
        "QPushButton#leftArrow, QPushButton#rightArrow{background-color: #0E2B47;}",
        "QComboBox{background: #262626; color: #EA700C; selection-background-color: #262626;"
        " selection-color: #EA700C;}",
        "WCapture{background-color: darkBlue;}",
        "QSpinBox{background: #262626; color: #EA700C; border: none;"
        " selection-background-color: #262626; selection-color: #EA700C;}",
        "QLineEdit{font-size: 14px; background: black; border: none; color: #EA700C;}",
        "QLineEdit#numberEdit{font-size: 24px; background: black; border: none; color: #EA700C;}",
        "QFrame#frameInFrame_1, QFrame#frameInFrame_2{border: 3px solid lightGray;"
        " border-radius: 10px; background-color: black;}",
        "QMenuBar{font-size: 12px; background-color: #0E2B47; color: rgb(255,255,255);}",
        "QMenuBar::item::selected{background-color: rgb(49,49,49); color: rgb(255,255,255);}",
        "QMenu{background-color: #0E2B47; color: rgb(255,255,255); border: 2px solid black;}",
        "QMenu::item:selected{background-color: #654321;}",
    };
    return joinedRules(rules);
}

QString readabilityStyleSheet()
{
    static const char *const rules[] = {
        "QPushButton:disabled, QLabel:disabled, QCheckBox:disabled, QRadioButton:disabled,"
        " QLineEdit:disabled, QSpinBox:disabled, QComboBox:disabled{color: #5f6b75;}",
        "QPushButton#videoBtn:disabled, QPushButton#screenBtn:disabled, QPushButton#audioBtn:disabled,"
        " QPushButton#cropBtn:disabled, QPushButton#leftArrow:disabled, QPushButton#rightArrow:disabled"
        "{background-color: #0a131b; border: 1px dashed #2a3138;}",
        "QRadioButton::indicator{width: 12px; height: 12px; border-radius: 8px; border: 2px solid #9fb3c8;"
        " background-color: #0E2B47;}",
        "QRadioButton::indicator:checked{border: 2px solid #EA700C; background-color: qradialgradient(cx:0.5,"
        " cy:0.5, radius:0.5, fx:0.5, fy:0.5, stop:0 #EA700C, stop:0.55 #EA700C, stop:0.65 #0E2B47);}",
        "QRadioButton:checked, QCheckBox:checked{color: #EA700C;}",
        "QCheckBox::indicator{width: 12px; height: 12px; border: 2px solid #9fb3c8; background-color: #0E2B47;}",
        "QCheckBox::indicator:checked{border: 2px solid #EA700C; background-color: #EA700C;}",
        "QRadioButton::indicator:disabled, QCheckBox::indicator:disabled{border: 2px solid #3a444c;}",
    };
    return joinedRules(rules);
}

} // namespace Startup
