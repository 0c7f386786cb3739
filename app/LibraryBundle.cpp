#include "app/LibraryBundle.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

namespace {
const int kListingTimeoutMs = 30000;
const QString kNotFound = QStringLiteral("not found");

// Name prefixes of the base set. Libraries that must match the running
// desktop (GL drivers load their own libstdc++ and libdrm, the sound server
// speaks its client library's protocol version) stay the system's; so do
// the low-level ones below them, which a second copy in the process would
// only shadow.
const char *const kBasePrefixes[] = {
    // C library, loader, compiler runtime
    "ld-linux", "libc.so", "libm.so", "libmvec.so", "libpthread.so", "libdl.so", "librt.so", "libresolv.so",
    "libutil.so", "libanl.so", "libcrypt.so", "libstdc++.so", "libgcc_s.so",
    // X and xcb client libraries, keyboard maps
    "libX", "libxcb", "libxkbcommon", "libxshmfence.so",
    // GL
    "libGL", "libEGL.so", "libOpenGL.so", "libgbm.so", "libdrm.so", "libglapi.so", "libwayland-",
    // fonts
    "libfontconfig.so", "libfreetype.so",
    // sound server clients
    "libpulse", "libasound.so",
    // GLib, D-Bus
    "libglib-2.0.so", "libgobject-2.0.so", "libgio-2.0.so", "libgmodule-2.0.so", "libgthread-2.0.so",
    "libdbus-1.so",
    // what the libraries above link themselves
    "libz.so", "libexpat.so", "libpng16.so", "libbrotli", "libbz2.so", "liblzma.so", "libzstd.so", "liblz4.so",
    "libsystemd.so", "libudev.so", "libcap.so", "libgcrypt.so", "libgpg-error.so", "libffi.so", "libpcre2-8.so",
    "libmount.so", "libblkid.so", "libselinux.so", "libuuid.so", "libsndfile.so", "libasyncns.so", "libapparmor.so",
    "libbsd.so", "libmd.so", "libFLAC.so", "libogg.so", "libvorbis.so", "libvorbisenc.so", "libopus.so",
    "libmp3lame.so", "libmpg123.so",
};
} // namespace

bool LibraryBundle::isBaseLibrary(const QString &name)
{
    for (const char *prefix : kBasePrefixes) {
        if (name.startsWith(QLatin1String(prefix)))
            return true;
    }
    return false;
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
