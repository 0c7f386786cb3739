#pragma once
#include <QString>

// Keys of the per-user settings store (INI, organisation "Velmora",
// application "Orvanta"). Absent keys read as the default noted beside them.
namespace SettingsKeys {
inline const QString Url = QStringLiteral("URL");                 // "" server host:port
inline const QString StreamId = QStringLiteral("STREAMID");       // ""
inline const QString VideoBitRate = QStringLiteral("VBR");        // 0 (spin box raises it to 128)
inline const QString AudioBitRate = QStringLiteral("ABR");        // ""
inline const QString Encoder = QStringLiteral("ENCSV");           // "" encoder display name
inline const QString Frame = QStringLiteral("FRAME");             // "HD"
inline const QString Combined = QStringLiteral("COMBINED");       // false
inline const QString SystemAudio = QStringLiteral("SYSAUDIO");    // false
inline const QString Mode = QStringLiteral("MODE");               // "" = "CAMERA"; "SCREEN", "MIX"
inline const QString Geometry = QStringLiteral("GEOMETRY");       // empty byte array
inline const QString State = QStringLiteral("STATE");             // empty byte array
inline const QString Number = QStringLiteral("NUMBER");           // "" as "123-456-789"
inline const QString AudioSource = QStringLiteral("ASOURCE");     // ""
inline const QString VideoSource = QStringLiteral("VSOURCE");     // ""
inline const QString Screen = QStringLiteral("SCREEN");           // ""
inline const QString WindowHandle = QStringLiteral("WHANDLE");    // 0 (quint64)
inline const QString CropRect = QStringLiteral("CROP_RECT");      // QRect
inline const QString CropDialogGeometry = QStringLiteral("CROP_DLG_GEOMETRY");
// QRect: the crop in pixels of the screen picture, as the mixer takes it;
// CROP_RECT holds the same band in the crop dialog's own coordinates.
inline const QString CropSourceRect = QStringLiteral("CROP_SOURCE_RECT");
inline const QString SkipUpdate = QStringLiteral("SKIP_UPDATE");  // 0
inline const QString LookupOrigin = QStringLiteral("LOOKUP_ORIGIN");  // build default
inline const QString UpdateUrl = QStringLiteral("UPDATE_URL");        // build default
inline const QString Passphrase = QStringLiteral("PASSPHRASE");       // "" = no encryption
inline const QString AdaptRate = QStringLiteral("ADAPT_RATE");        // true: the video rate follows the connection
inline const QString KeepCopy = QStringLiteral("KEEP_COPY");          // false: a broadcast also goes to a file
inline const QString AdaptLatency = QStringLiteral("ADAPT_LATENCY");  // true: the latency follows the connection
// The desktop portal's token for the screen the user last granted, so he is
// asked once and not at every start.
inline const QString ScreenCastToken = QStringLiteral("SCREENCAST_TOKEN"); // ""
// Servers ("host:port") the user has broadcast to or said Start for: a link
// from outside starts at once only to one of these. Most recent first.
inline const QString ConfirmedServers = QStringLiteral("CONFIRMED_SERVERS"); // empty list

// The recorded sound loses the echo of the return sound, and its steady noise.
inline const QString EchoCancel = QStringLiteral("ECHO_CANCEL");         // true
inline const QString NoiseSuppress = QStringLiteral("NOISE_SUPPRESS");   // true

inline const QString Organisation = QStringLiteral("Velmora");
inline const QString Application = QStringLiteral("Orvanta");
} // namespace SettingsKeys
