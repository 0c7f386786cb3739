#include "app/links/DistributiveExporter.h"

#include "app/services/LibraryBundle.h"
#include "app/links/LinkConsent.h"
#include "app/links/StreamLink.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QMainWindow>
#include <QMessageBox>
#include <QProgressDialog>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QUrl>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const qint64 kCopyChunk = 1 << 20;
const int kStatusMs = 60000;
const QString kX11Plugin = QStringLiteral("platforms/libqxcb.so");

QString canonical(const QString &path)
{
    const QString resolved = QFileInfo(path).canonicalFilePath();
    return resolved.isEmpty() ? QDir::cleanPath(QDir(path).absolutePath()) : resolved;
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Moves a complete folder to a name that must not exist yet. Where the file
// system cannot refuse to replace, an empty folder reserves the name first
// (rename replaces an empty folder, never a filled one).
int renameNoReplace(const QByteArray &from, const QByteArray &to)
{
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    if (::mkdir(to.constData(), 0700) != 0)
        return errno;
    if (::rename(from.constData(), to.constData()) != 0) {
        const int error = errno;
        ::rmdir(to.constData());
        return error;
    }
    return 0;
}

// Closes its descriptor when it goes out of scope.
struct FileDescriptor {
    explicit FileDescriptor(int fd) : fd(fd) {}
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    int release() { return std::exchange(fd, -1); }
    int fd;
};

void applyUmask(const QString &folder)
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::chmod(QFile::encodeName(folder).constData(), 0777 & ~mask);
}
} // namespace

DistributiveExporter::DistributiveExporter(QWidget *boxParent, QString programFile)
    : boxParent(boxParent)
    , programFile(std::move(programFile))
{
}

DistributiveExporter::~DistributiveExporter() = default;

const char *const DistributiveExporter::kCaption = "Select Folder Export";
const char *const DistributiveExporter::kCaptionWithPassphrase =
    "Select Folder Export (START.sh carries the passphrase)";

bool DistributiveExporter::run(const QString &link, bool carriesPassphrase)
{
    const QString chosen = QFileDialog::getExistingDirectory(
        boxParent, QLatin1String(carriesPassphrase ? kCaptionWithPassphrase : kCaption), startFolder(),
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (chosen.isEmpty())
        return false;
    const Result result = exportTo(chosen, link);
    report(result);
    // Without a file manager the status line still says where the copy is.
    if (!result.folder.isEmpty())
        QDesktopServices::openUrl(QUrl::fromLocalFile(result.folder));
    return !result.folder.isEmpty();
}

QString DistributiveExporter::startFolder()
{
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    return !desktop.isEmpty() && QFileInfo(desktop).isDir() ? desktop : QDir::homePath();
}

DistributiveExporter::Result DistributiveExporter::exportTo(const QString &chosenDir, const QString &link,
                                                              const QDate &date)
{
    Result result;
    const QString programDir = QFileInfo(programFile).absolutePath();
    if (isSameOrInside(chosenDir, programDir)) {
        result.error = "The export folder must lie outside the program folder " + QDir::toNativeSeparators(programDir) + ".";
        return result;
    }
    QTemporaryDir staging(QDir(chosenDir).absoluteFilePath(".Orvanta_export-XXXXXX"));
    if (!staging.isValid()) {
        result.error = "Cannot create an export folder in " + QDir::toNativeSeparators(chosenDir) + ": "
                       + staging.errorString() + ".";
        return result;
    }
    if (!fillStaging(staging.path(), link, &result.error))
        return result;
    applyUmask(staging.path());
    const qint64 bytes = folderSize(staging.path());
    result.folder = moveIntoPlace(staging.path(), chosenDir, date, &result.error);
    if (result.folder.isEmpty())
        return result;
    staging.setAutoRemove(false);
    result.bytes = bytes;
    return result;
}

bool DistributiveExporter::fillStaging(const QString &staging, const QString &link, QString *error)
{
    const QString plugins = pluginDir.isEmpty() ? pluginFolder() : pluginDir;
    if (plugins.isEmpty()) {
        *error = "Qt's X11 platform plugin (" + kX11Plugin + ") was not found.";
        return false;
    }
    QMap<QString, QString> copies{{staging + "/App/orvanta", programFile}};
    QStringList elfFiles{programFile};
    for (const QString &plugin : pluginFiles(plugins)) {
        copies.insert(staging + "/App/plugins/" + plugin, plugins + "/" + plugin);
        elfFiles << plugins + "/" + plugin;
    }
    LibraryBundle libraries;
    if (!libraries.resolve(elfFiles)) {
        *error = libraries.error();
        return false;
    }
    const QMap<QString, QString> bundled = libraries.toBundle();
    // The loader looks a library up by the name the files ask for.
    for (auto it = bundled.cbegin(); it != bundled.cend(); ++it)
        copies.insert(staging + "/App/lib/" + QFileInfo(it.key()).fileName(), it.value());

    if (!copyAll(copies, error))
        return false;
    QFile conf(staging + "/App/qt.conf");
    const QByteArray confText = "[Paths]\nPrefix = .\nPlugins = plugins\n";
    if (!conf.open(QIODevice::WriteOnly) || conf.write(confText) != confText.size() || !conf.flush()) {
        *error = "Cannot write " + conf.fileName() + ": " + conf.errorString() + ".";
        return false;
    }
    conf.close();
    if (!writeStartScript(staging, link) || !writeConfirmedServer(staging + "/App", link)) {
        *error = "Cannot write START.sh in " + QDir::toNativeSeparators(staging) + ".";
        return false;
    }
    return checkSelfContained(staging, error);
}

bool DistributiveExporter::copyAll(const QMap<QString, QString> &copies, QString *error)
{
    std::unique_ptr<QProgressDialog> dialog;
    if (boxParent) {
        dialog = std::make_unique<QProgressDialog>("Copying files...", QString(), 0, copies.size(), boxParent);
        dialog->setWindowModality(Qt::WindowModal);
        dialog->setCancelButton(nullptr);
    }
    int copied = 0;
    for (auto it = copies.cbegin(); it != copies.cend(); ++it) {
        if (!copyFile(it.value(), it.key(), error))
            return false;
        if (dialog)
            dialog->setValue(++copied);
    }
    return true;
}

bool DistributiveExporter::copyFile(const QString &source, const QString &target, QString *error)
{
    const auto fail = [&](int code) {
        *error = "Cannot copy " + QDir::toNativeSeparators(source) + " into the export: " + systemError(code) + ".";
        qDebug() << "fail" << source << target << systemError(code);
        return false;
    };
    if (!QDir().mkpath(QFileInfo(target).path()))
        return fail(errno);
    const FileDescriptor in(::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (in.fd < 0 || ::fstat(in.fd, &status) != 0)
        return fail(errno);
    FileDescriptor out(::open(QFile::encodeName(target).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                              status.st_mode & 0777));
    if (out.fd < 0)
        return fail(errno);
    QByteArray buffer(kCopyChunk, Qt::Uninitialized);
    for (;;) {
        const ssize_t got = ::read(in.fd, buffer.data(), size_t(buffer.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return fail(errno);
        if (got == 0)
            break;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(out.fd, buffer.constData() + done, size_t(got - done));
            if (put < 0 && errno == EINTR)
                continue;
            if (put < 0)
                return fail(errno);
            done += put;
        }
    }
    // Write errors of some file systems show only when the file is closed.
    if (::close(out.release()) != 0)
        return fail(errno);
    return true;
}

bool DistributiveExporter::checkSelfContained(const QString &staging, QString *error)
{
    QStringList elfFiles{staging + "/App/orvanta"};
    QDirIterator plugins(staging + "/App/plugins", {"*.so"}, QDir::Files, QDirIterator::Subdirectories);
    while (plugins.hasNext())
        elfFiles << plugins.next();
    LibraryBundle libraries;
    if (!libraries.resolve(elfFiles, staging + "/App/lib")) {
        *error = libraries.error();
        return false;
    }
    const QMap<QString, QString> outside = libraries.toBundle();
    for (auto it = outside.cbegin(); it != outside.cend(); ++it) {
        if (!it.value().startsWith(staging + "/App/lib/")) {
            *error = "The copy would load " + it.value() + " from this system.";
            return false;
        }
    }
    return true;
}

QString DistributiveExporter::moveIntoPlace(const QString &staging, const QString &parentDir, const QDate &date,
                                            QString *error)
{
    const QString base = "Orvanta_" + date.toString(Qt::ISODate);
    const QDir parent(parentDir);
    for (int n = 1; n <= kMaxNamingTries; ++n) {
        const QString name = parent.absoluteFilePath(n == 1 ? base : base + " (" + QString::number(n) + ")");
        const int result = renameNoReplace(QFile::encodeName(staging), QFile::encodeName(name));
        if (result == 0)
            return name;
        if (result != EEXIST && result != ENOTEMPTY) {
            *error = "Cannot create " + QDir::toNativeSeparators(name) + ": " + systemError(result) + ".";
            return {};
        }
    }
    *error = "Cannot create an export folder in " + QDir::toNativeSeparators(parentDir) + ": "
             + QString::number(kMaxNamingTries) + " folders named " + base + " exist already.";
    return {};
}

qint64 DistributiveExporter::folderSize(const QString &folder)
{
    qint64 bytes = 0;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        bytes += it.fileInfo().size();
    }
    return bytes;
}

QStringList DistributiveExporter::pluginFiles(const QString &pluginDir)
{
    QStringList files;
    const QDir dir(pluginDir);
    if (dir.exists(kX11Plugin))
        files << kX11Plugin;
    // GL contexts on X11, and dead keys and compose sequences in text fields.
    const QStringList gl = QDir(dir.filePath("xcbglintegrations")).entryList({"*.so"}, QDir::Files);
    for (const QString &name : gl)
        files << "xcbglintegrations/" + name;
    const QString compose = QStringLiteral("platforminputcontexts/libcomposeplatforminputcontextplugin.so");
    if (dir.exists(compose))
        files << compose;
    return files;
}

QString DistributiveExporter::pluginFolder()
{
    QStringList candidates = QCoreApplication::libraryPaths();
    candidates << QLibraryInfo::location(QLibraryInfo::PluginsPath);
    for (const QString &folder : candidates) {
        if (QFileInfo(folder + "/" + kX11Plugin).isFile())
            return folder;
    }
    return {};
}

QString DistributiveExporter::statusText(const Result &result)
{
    if (!result.error.isEmpty())
        return "Export failed: " + result.error;
    return "Exported to " + QDir::toNativeSeparators(result.folder) + " ("
           + QString::number(double(result.bytes) / 1e6, 'f', 1) + " MB)";
}

void DistributiveExporter::report(const Result &result) const
{
    const QString text = statusText(result);
    if (auto *window = qobject_cast<QMainWindow *>(boxParent ? boxParent->window() : nullptr))
        window->statusBar()->showMessage(text, kStatusMs);
    if (result.error.isEmpty())
        return;
    // Paths are shown as they are, never interpreted as markup.
    QMessageBox box(QMessageBox::Warning, "Warning", result.error, QMessageBox::Ok, boxParent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

bool DistributiveExporter::isSameOrInside(const QString &path, const QString &folder)
{
    const QString inner = canonical(path);
    const QString outer = canonical(folder);
    return inner == outer || inner.startsWith(outer.endsWith('/') ? outer : outer + '/');
}

QString DistributiveExporter::shellQuote(const QString &argument)
{
    QString quoted = argument;
    quoted.replace("'", "'\\''");
    return "'" + quoted + "'";
}

QByteArray DistributiveExporter::startScript(const QString &link)
{
    // The relative program path resolves against the script's own folder,
    // wherever the script is started from. The copy's libraries and Qt
    // plugins come first, so that it runs where the program was never built.
    const QString script = "#!/bin/sh\n"
                           "cd \"$(dirname \"$0\")\" || exit 1\n"
                           "LD_LIBRARY_PATH=\"$PWD/App/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}\"\n"
                           "QT_PLUGIN_PATH=\"$PWD/App/plugins\"\n"
                           "export LD_LIBRARY_PATH QT_PLUGIN_PATH\n"
                           "exec ./App/orvanta " + shellQuote(link) + "\n";
    return script.toLocal8Bit();
}

bool DistributiveExporter::writeConfirmedServer(const QString &folder, const QString &link)
{
    const QString server = LinkConsent::serverOf(StreamLink(link).field(StreamLink::Server));
    if (server.isEmpty())
        return true;
    QFile file(folder + "/" + LinkConsent::kConfirmedFileName);
    const QByteArray line = server.toUtf8() + "\n";
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(line) == line.size() && file.flush();
}

bool DistributiveExporter::writeStartScript(const QString &folder, const QString &link)
{
    QFile file(folder + "/START.sh");
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray script = startScript(link);
    const bool written = file.write(script) == script.size() && file.flush();
    file.close();
    return written
           && file.setPermissions(file.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeGroup
                                  | QFileDevice::ExeOther);
}
