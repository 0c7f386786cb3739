#include "app/DistributiveExporter.h"

#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QProgressDialog>
#include <QStandardPaths>
#include <QUrl>

namespace {
const int kFailuresListed = 20;
const int kFileCountLimit = 1000000;

QString canonical(const QString &path)
{
    const QString resolved = QFileInfo(path).canonicalFilePath();
    return resolved.isEmpty() ? QDir::cleanPath(QDir(path).absolutePath()) : resolved;
}
} // namespace

DistributiveExporter::DistributiveExporter(QWidget *boxParent, QString programDir)
    : boxParent(boxParent)
    , programDir(std::move(programDir))
{
}

DistributiveExporter::~DistributiveExporter() = default;

const char *const DistributiveExporter::kCaption = "Select Folder Export";
const char *const DistributiveExporter::kCaptionWithPassphrase =
    "Select Folder Export (START.sh carries the passphrase)";

void DistributiveExporter::run(const QString &link, bool carriesPassphrase)
{
    const QString chosen = QFileDialog::getExistingDirectory(
        boxParent, QLatin1String(carriesPassphrase ? kCaptionWithPassphrase : kCaption),
        QStandardPaths::writableLocation(QStandardPaths::DesktopLocation),
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (chosen.isEmpty())
        return;
    const QString folder = exportTo(chosen, link);
    if (!folder.isEmpty())
        QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

QString DistributiveExporter::exportTo(const QString &chosenDir, const QString &link, const QDate &date)
{
    if (isSameOrInside(chosenDir, programDir)) {
        warn("The export folder must lie outside the program folder:\n" + QDir::toNativeSeparators(programDir));
        return {};
    }
    const QString folder = createExportFolder(chosenDir, date);
    if (folder.isEmpty()) {
        warn("Cannot create an export folder in " + QDir::toNativeSeparators(chosenDir) + ".");
        return {};
    }
    copyFolder(programDir, folder + "/App");
    if (!writeStartScript(folder, link)) {
        warn("Cannot write " + QDir::toNativeSeparators(folder + "/START.sh") + ".");
        return {};
    }
    reportFailures();
    return folder;
}

QString DistributiveExporter::createExportFolder(const QString &parentDir, const QDate &date)
{
    const QString base = "Orvanta_" + date.toString(Qt::ISODate);
    QDir parent(parentDir);
    for (int n = 1; n <= kMaxNamingTries; ++n) {
        const QString name = n == 1 ? base : base + " (" + QString::number(n) + ")";
        if (parent.mkdir(name))
            return parent.absoluteFilePath(name);
    }
    return {};
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
    // wherever the script is started from.
    const QString script = "#!/bin/sh\n"
                           "cd \"$(dirname \"$0\")\" || exit 1\n"
                           "exec ./App/orvanta " + shellQuote(link) + "\n";
    return script.toLocal8Bit();
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

void DistributiveExporter::copyFolder(const QString &source, const QString &target)
{
    failures.clear();
    foldersInProgress.clear();
    copied = 0;
    QProgressDialog dialog("Copying files...", QString(), 0, countFiles(source, kFileCountLimit), boxParent);
    dialog.setWindowModality(Qt::WindowModal);
    dialog.setCancelButton(nullptr);
    progress = &dialog;
    copyEntries(source, target);
    dialog.setValue(dialog.maximum());
    progress = nullptr;
}

void DistributiveExporter::copyEntries(const QString &source, const QString &target)
{
    if (!QDir().mkpath(target)) {
        failures << source;
        qDebug() << "fail" << source << target;
        return;
    }
    const QString key = canonical(source);
    if (foldersInProgress.contains(key))
        return;
    foldersInProgress.insert(key);

    const QFileInfoList entries =
        QDir(source).entryInfoList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo &entry : entries) {
        const QString from = source + "/" + entry.fileName();
        const QString to = target + "/" + entry.fileName();
        if (entry.isDir())
            copyEntries(from, to);
        else
            copyFile(from, to);
    }
    foldersInProgress.remove(key);
}

void DistributiveExporter::copyFile(const QString &source, const QString &target)
{
    if (!QFile::copy(source, target)) {
        failures << source;
        qDebug() << "fail" << source << target;
    }
    if (progress)
        progress->setValue(qMin(++copied, progress->maximum()));
}

int DistributiveExporter::countFiles(const QString &folder, int limit)
{
    int count = 0;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext() && count < limit) {
        it.next();
        ++count;
    }
    return count;
}

void DistributiveExporter::warn(const QString &text) const
{
    // Paths are shown as they are, never interpreted as markup.
    QMessageBox box(QMessageBox::Warning, "Warning", text, QMessageBox::Ok, boxParent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void DistributiveExporter::reportFailures() const
{
    if (failures.isEmpty())
        return;
    QStringList listed = failures.mid(0, kFailuresListed);
    if (failures.size() > kFailuresListed)
        listed << QString("... and %1 more").arg(failures.size() - kFailuresListed);
    warn("These files could not be copied:\n" + listed.join('\n'));
}
