#pragma once
#include <QString>
#include <QStringList>

namespace mf {

// Maps the writer's video codec identifiers onto encoders and finds out which
// of them really open on this machine.
class CodecProbe
{
public:
    // Every identifier the writer understands, in a fixed order.
    static QStringList knownIdentifiers();
    // FFmpeg encoder name for an identifier; empty for the openh264 library,
    // which is called directly, and for unknown identifiers.
    static QString ffmpegEncoder(const QString &identifier);
    static bool isOpenH264(const QString &identifier);
    static bool isKnown(const QString &identifier);
    // Identifiers whose encoder opened; probed once per process.
    static QStringList available();
    // Tries to open the encoder for a small picture.
    static bool probe(const QString &identifier);
};

} // namespace mf
