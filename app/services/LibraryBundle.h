#pragma once
#include <QMap>
#include <QString>
#include <QStringList>

// The shared libraries that a set of ELF files needs, as the dynamic loader
// itself resolves them (ldd lists the whole dependency tree), split into the
// base set that every desktop system has and the rest, which a portable copy
// must carry along.
class LibraryBundle
{
public:
    // The loader's listing of each file, with the environment of this process
    // (so LD_LIBRARY_PATH counts as it would for the program). Returns false
    // with a reason in error() when the loader cannot list a file or cannot
    // find one of its libraries.
    // A non-empty libraryDir is searched first, as START.sh makes the loader do.
    bool resolve(const QStringList &elfFiles, const QString &libraryDir = QString());

    // Library name as the files ask for it (DT_NEEDED) -> the file the loader
    // picked, for every library outside the base set.
    QMap<QString, QString> toBundle() const { return bundled; }
    // Every resolved library, base set included.
    QMap<QString, QString> all() const { return resolved; }
    QString error() const { return failure; }

    // The libraries a copy leaves to the system, by exact name: C library and
    // loader, compiler runtime, GL, the X and Wayland connection, the sound
    // servers' client libraries, fonts, and a few low-level ones these link.
    static QStringList baseLibraries();
    static bool isBaseLibrary(const QString &name);
    // One line of ldd's listing: "name => path (address)". Returns false for
    // lines that name no library by path (the vDSO, the loader itself);
    // path is "not found" when the loader found none.
    static bool parseLine(const QString &line, QString *name, QString *path);

private:
    bool list(const QString &elfFile, const QString &libraryDir);

    QMap<QString, QString> resolved;
    QMap<QString, QString> bundled;
    QString failure;
};
