#include "StudioOptions.h"

#include "OrvantaVersion.h"

#include <QCommandLineParser>
#include <QHostAddress>

#include <srt/access_control.h>

#include <cstdio>

namespace {
const char *const kDemoNumber = "123456789";
const char *const kDemoLink = "orvanta://127.0.0.1:9000/demo/2048/128/HD";

bool parseEndpoint(const QString &text, QString *host, quint16 *port)
{
    const int colon = text.lastIndexOf(':');
    bool ok = false;
    const uint value = text.mid(colon + 1).toUInt(&ok);
    const QString hostPart = text.left(colon);
    if (colon < 0 || !ok || value > 65535 || QHostAddress(hostPart).protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    *host = hostPart;
    *port = quint16(value);
    return true;
}
}

QString StudioOptions::digitsOf(const QString &number)
{
    QString digits;
    for (const QChar c : number) {
        if (c.isDigit())
            digits += c;
    }
    return digits;
}

bool StudioOptions::parse(const QStringList &arguments, QString *error)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Local stand-in for the Orvanta server side: an SRT listener that records media streams, echoes them\n"
        "to \"#feedbackplay\" callers, decodes \"#control\" arrow commands and swallows \"#speedtest\" data, and\n"
        "an HTTP port with the number lookup, the update manifest and \"/status\" (JSON).");
    parser.addHelpOption();
    parser.addOption({"srt", "SRT listener address (default 127.0.0.1:9000); port 0 takes a free port, which the "
                      "start line shows.", "HOST:PORT"});
    parser.addOption({"http", "HTTP address (default 127.0.0.1:8080); port 0 as for --srt.", "HOST:PORT"});
    parser.addOption({"record", "Folder for the recorded media streams, one file per stream ID, e.g. demo.ts (default "
                      "./studio-recordings).", "DIR"});
    parser.addOption({"feedback",
                      "What \"ID#feedbackplay\" callers receive: 'echo' (the ID's media stream as it arrives, "
                      "the default) or an MPEG-TS file played in a loop at its own pace.",
                      "echo|FILE"});
    parser.addOption({"number",
                      "Number lookup entry (repeatable); dashes in numbers are ignored. Without any, the table "
                      "holds 123456789=orvanta://127.0.0.1:9000/demo/2048/128/HD.",
                      "NUMBER=LINK"});
    parser.addOption({"max-callers",
                      QStringLiteral("Callers connected at once (default %1); more are turned away with "
                                     "SRT reject reason %2 (overload).")
                          .arg(kDefaultMaxCallers)
                          .arg(SRT_REJX_OVERLOAD),
                      "N"});
    parser.addOption({"manifest",
                      QStringLiteral("File served as /downloads/orvanta_win.json (default: build %1, no update).")
                          .arg(ORVANTA_BUILD_NUMBER),
                      "FILE"});
    parser.addOption({"passphrase",
                      QStringLiteral("Encrypts every connection (AES, 16-byte key); callers without this "
                                     "passphrase are refused. %1 to %2 characters.")
                          .arg(kMinPassphrase)
                          .arg(kMaxPassphrase),
                      "TEXT"});
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return false;
    }
    if (parser.isSet("help")) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        helpShown = true;
        return true;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *error = "unexpected argument: " + parser.positionalArguments().first();
        return false;
    }
    if (parser.isSet("srt") && !parseEndpoint(parser.value("srt"), &srtHost, &srtPort)) {
        *error = "--srt needs IPV4:PORT";
        return false;
    }
    if (parser.isSet("http") && !parseEndpoint(parser.value("http"), &httpHost, &httpPort)) {
        *error = "--http needs IPV4:PORT";
        return false;
    }
    if (parser.isSet("record"))
        recordDir = parser.value("record");
    if (parser.isSet("feedback"))
        feedback = parser.value("feedback");
    manifestFile = parser.value("manifest");
    if (parser.isSet("max-callers")) {
        bool ok = false;
        maxCallers = parser.value("max-callers").toInt(&ok);
        if (!ok || maxCallers < 1 || maxCallers > kMostMaxCallers) {
            *error = QStringLiteral("--max-callers needs a number from 1 to %1").arg(kMostMaxCallers);
            return false;
        }
    }
    if (parser.isSet("passphrase")) {
        passphrase = parser.value("passphrase").toUtf8();
        if (passphrase.size() < kMinPassphrase || passphrase.size() > kMaxPassphrase) {
            *error = QStringLiteral("--passphrase needs %1 to %2 characters").arg(kMinPassphrase).arg(kMaxPassphrase);
            return false;
        }
    }
    for (const QString &entry : parser.values("number")) {
        const int equals = entry.indexOf('=');
        if (equals <= 0 || digitsOf(entry.left(equals)).isEmpty()) {
            *error = "--number needs NUMBER=LINK: " + entry;
            return false;
        }
        numbers.insert(digitsOf(entry.left(equals)), entry.mid(equals + 1));
    }
    if (numbers.isEmpty())
        numbers.insert(kDemoNumber, kDemoLink);
    return true;
}
