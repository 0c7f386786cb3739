#include "app/services/InstanceFolder.h"

#include "diagnostics/LogLine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace {
const QFileDevice::Permissions kOthersAccess = QFileDevice::ReadGroup | QFileDevice::WriteGroup
                                               | QFileDevice::ExeGroup | QFileDevice::ReadOther
                                               | QFileDevice::WriteOther | QFileDevice::ExeOther;
} // namespace

InstanceFolder::InstanceFolder()
    : folder(baseLocation() + QStringLiteral("/orvanta-XXXXXX"))
{
    // Removal is ours: QTemporaryDir would remove whatever the folder holds.
    folder.setAutoRemove(false);
    if (!folder.isValid())
        logLine(QStringLiteral("*** no temporary folder: ") + folder.errorString());
}

InstanceFolder::~InstanceFolder()
{
    remove();
}

QString InstanceFolder::baseLocation()
{
    const QString runtime = QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR"));
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && isPrivateFolder(runtime))
        return QDir::cleanPath(runtime);
    return QDir::tempPath();
}

bool InstanceFolder::isPrivateFolder(const QString &path)
{
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink() && info.ownerId() == ::getuid()
           && (info.permissions() & kOthersAccess) == 0;
}

QString InstanceFolder::addCopy(const QString &source, const QString &name)
{
    if (!isValid() || name.contains(QLatin1Char('/')))
        return QString();
    const QString target = folder.filePath(name);
    if (!QFile::copy(source, target))
        return QString();
    createdFiles << target;
    return target;
}

bool InstanceFolder::folderIsStillOurs() const
{
    const QFileInfo info(folder.path());
    return info.isDir() && !info.isSymLink() && info.ownerId() == ::getuid();
}

void InstanceFolder::remove()
{
    if (!folder.isValid() || removed)
        return;
    removed = true;
    if (!folderIsStillOurs()) {
        logLine(QStringLiteral("*** temporary folder replaced, left alone: ") + folder.path());
        return;
    }
    // QFile::remove unlinks: a link in place of a file goes, its target stays.
    for (const QString &file : qAsConst(createdFiles))
        QFile::remove(file);
    if (!QDir().rmdir(folder.path()))
        logLine(QStringLiteral("temporary folder not empty, left in place: ") + folder.path());
}
