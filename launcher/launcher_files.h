#pragma once

#include <QString>

// Files that the launcher ships with, and where it finds them.
namespace talvex {

inline const QString FRONT_PAGE_NAME = QStringLiteral("front page of sw.jpg");
inline const QString HELP_DOCUMENT_NAME = QStringLiteral("TALVEX.pdf");

// The window icon, built into the program.
inline const QString WINDOW_ICON_RESOURCE = QStringLiteral(":/talvex/icon.png");

inline const QString APPLICATION_TITLE = QStringLiteral("TALVEX");

// A file of a folder: the folder as the platform writes it, its separator
// and the name.
QString fileInFolder(const QString& folder, const QString& name);

// Where the launcher's files are. In a ready-to-run folder (the build
// tree's bin/, or any folder the programs were copied into with their
// files) the front-page picture and the help document lie beside the
// launcher, and a Run writes its files there. In an installation the
// programs are in bin/ and the two files in the installation's data folder
// for TALVEX (share/talvex beside bin/); a Run then never writes into the
// installation's folders, whoever runs it.
struct LauncherFiles {
    // Holds the launcher and the processor.
    QString launcherFolder;
    // Holds the front-page picture and the help document.
    QString dataFolder;
    bool installed = false;

    QString frontPage() const
    {
        return fileInFolder(dataFolder, FRONT_PAGE_NAME);
    }
    QString helpDocument() const
    {
        return fileInFolder(dataFolder, HELP_DOCUMENT_NAME);
    }
};

// The folder is a ready-to-run one when either file is beside the launcher;
// otherwise it is an installation's bin/ when the installation's data
// folder exists. With neither, the launcher folder stands for both, as in a
// ready-to-run folder whose files are missing.
LauncherFiles locateLauncherFiles(const QString& launcherFolder);

// The installation's data folder of a launcher installed in this folder.
QString installedDataFolder(const QString& launcherFolder);

} // namespace talvex
