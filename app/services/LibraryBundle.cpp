#include "app/services/LibraryBundle.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>

namespace {
const int kListingTimeoutMs = 30000;
const QString kNotFound = QStringLiteral("not found");

// The base set: libraries that every desktop system can be relied on to
// have, by exact name, as the portable-bundle tools keep them (the AppImage
// project's excludelist). They must match the running system (the C library
// and loader, GL drivers with their libdrm and libstdc++, the X connection,
// the sound servers' client libraries) or are so basic that a second copy in
// the process would only shadow them. Everything else travels in the copy:
// a plain desktop need not have libXv or libwayland-egl.
const char *const kBaseLibraries[] = {
    // C library and loader
    "ld-linux.so.2", "ld-linux-x86-64.so.2", "libanl.so.1", "libBrokenLocale.so.1", "libcidn.so.1", "libc.so.6",
    "libdl.so.2", "libm.so.6", "libmvec.so.1", "libnss_compat.so.2", "libnss_dns.so.2", "libnss_files.so.2",
    "libnss_hesiod.so.2", "libnss_nisplus.so.2", "libnss_nis.so.2", "libpthread.so.0", "libresolv.so.2",
    "librt.so.1", "libthread_db.so.1", "libutil.so.1",
    // compiler runtime, as the GL drivers load it
    "libstdc++.so.6", "libgcc_s.so.1",
    // GL
    "libGL.so.1", "libEGL.so.1", "libGLdispatch.so.0", "libGLX.so.0", "libOpenGL.so.0", "libdrm.so.2",
    "libglapi.so.0", "libgbm.so.1", "libxcb-dri3.so.0", "libxcb-dri2.so.0",
    // the display server connection
    "libxcb.so.1", "libX11.so.6", "libX11-xcb.so.1", "libwayland-client.so.0", "libICE.so.6", "libSM.so.6",
    // sound
    "libasound.so.2", "libjack.so.0", "libpipewire-0.3.so.0",
    // fonts and text
    "libfontconfig.so.1", "libfreetype.so.6", "libharfbuzz.so.0", "libfribidi.so.0",
    // low-level libraries the ones above link
    "libcom_err.so.2", "libexpat.so.1", "libgpg-error.so.0", "libusb-1.0.so.0", "libuuid.so.1", "libz.so.1",
    "libgmp.so.10",
};
} // namespace

QStringList LibraryBundle::baseLibraries()
{
    QStringList names;
    for (const char *name : kBaseLibraries)
        names << QString::fromLatin1(name);
    return names;
}

bool LibraryBundle::isBaseLibrary(const QString &name)
{
    static const QSet<QString> base = [] {
        const QStringList names = baseLibraries();
        return QSet<QString>(names.cbegin(), names.cend());
    }();
    return base.contains(name);
}

bool LibraryBundle::parseLine(const QString &line, QString *name, QString *path)
{
    static const QRegularExpression pattern(QStringLiteral("^\\s*(\\S+) => (.*?)(?: \\(0x[0-9a-f]+\\))?\\s*$"));
    const QRegularExpressionMatch match = pattern.match(line);
    if (!match.hasMatch() || match.captured(2).isEmpty())
        return false;
    *name = match.captured(1);
    *path = match.captured(2);
    return true;
}

bool LibraryBundle::resolve(const QStringList &elfFiles, const QString &libraryDir)
{
    resolved.clear();
    bundled.clear();
    failure.clear();
    for (const QString &file : elfFiles) {
        if (!list(file, libraryDir))
            return false;
    }
    for (auto it = resolved.cbegin(); it != resolved.cend(); ++it) {
        if (!isBaseLibrary(it.key()))
            bundled.insert(it.key(), it.value());
    }
    return true;
}

bool LibraryBundle::list(const QString &elfFile, const QString &libraryDir)
{
    QProcess ldd;
    if (!libraryDir.isEmpty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        const QString inherited = environment.value(QStringLiteral("LD_LIBRARY_PATH"));
        environment.insert(QStringLiteral("LD_LIBRARY_PATH"), inherited.isEmpty() ? libraryDir : libraryDir + ':' + inherited);
        ldd.setProcessEnvironment(environment);
    }
    ldd.setProcessChannelMode(QProcess::SeparateChannels);
    ldd.start(QStringLiteral("ldd"), {QFileInfo(elfFile).absoluteFilePath()});
    if (!ldd.waitForFinished(kListingTimeoutMs) || ldd.exitStatus() != QProcess::NormalExit || ldd.exitCode() != 0) {
        ldd.kill();
        ldd.waitForFinished(1000);
        const QString why = QString::fromLocal8Bit(ldd.readAllStandardError()).trimmed();
        failure = "The loader cannot list the libraries of " + elfFile + (why.isEmpty() ? "" : ": " + why);
        return false;
    }
    const QStringList lines = QString::fromLocal8Bit(ldd.readAllStandardOutput()).split('\n');
    for (const QString &line : lines) {
        QString name, path;
        if (!parseLine(line, &name, &path))
            continue;
        if (path == kNotFound) {
            failure = elfFile + " needs " + name + ", which this system does not have.";
            return false;
        }
        resolved.insert(name, path);
    }
    return true;
}
