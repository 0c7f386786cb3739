#pragma once
#include <QString>
#include <QStringList>

// What main() needs before the window exists.
namespace Startup {

// The link to open at once: the first argument after the program name when it
// contains "://", else an empty string. Later arguments are never looked at.
QString linkArgument(const QStringList &arguments);

// What the program prints and exits with when the first argument asks for
// it ("--help" or "-h", "--version" or "-v"); empty when it is to start as
// usual. Looked at before the single-instance check and any window.
QString commandLineAnswer(const QStringList &arguments);

// Makes Qt use its X11 (xcb) platform, so that on a Wayland session the
// program runs under XWayland: its frameless, stay-on-top windows (the
// capture frame) can place themselves at global positions only there. A
// QT_QPA_PLATFORM the user set, or a session without an X server (no
// DISPLAY), is left to Qt. Call before the application object is made.
// Returns the platform chosen, or an empty string when left to Qt.
QString choosePlatform();

// The application-wide style sheet.
QString styleSheet();

// Rules added after it so that states read at a glance on the dark window:
// disabled controls grey, the chosen radio button and ticked check boxes
// filled in the accent colour.
QString readabilityStyleSheet();

} // namespace Startup
