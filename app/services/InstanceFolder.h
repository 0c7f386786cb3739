#pragma once
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// The temporary folder of one running instance of the program: a new folder
// made exclusively for it (mode 0700) under the user's runtime folder, or the
// temporary folder when there is no private runtime folder. Others can
// neither plant files in it nor make it point elsewhere, and removal takes
// only the files put there through this object and then the empty folder,
// never following a symbolic link.
class InstanceFolder
{
public:
    InstanceFolder();
    ~InstanceFolder();
    InstanceFolder(const InstanceFolder &) = delete;
    InstanceFolder &operator=(const InstanceFolder &) = delete;

    bool isValid() const { return folder.isValid() && !removed; }
    QString path() const { return folder.path(); }

    // Copies source (a file or a resource) into the folder as name; returns
    // the new file's path, or an empty string when that failed.
    QString addCopy(const QString &source, const QString &name);

    // Removes what addCopy made and the folder, once; later calls do nothing.
    void remove();

    // XDG_RUNTIME_DIR when it is a real folder of this user closed to others,
    // else QDir::tempPath() (TMPDIR, by default /tmp).
    static QString baseLocation();

private:
    static bool isPrivateFolder(const QString &path);
    bool folderIsStillOurs() const;

    QTemporaryDir folder;
    QStringList createdFiles;
    bool removed = false;
};
