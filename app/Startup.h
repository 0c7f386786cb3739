#pragma once
#include <QString>
#include <QStringList>

// What main() needs before the window exists.
namespace Startup {

// The link to open at once: the first argument after the program name when it
// contains "://", else an empty string. Later arguments are never looked at.
QString linkArgument(const QStringList &arguments);

// The application-wide style sheet.
QString styleSheet();

} // namespace Startup
