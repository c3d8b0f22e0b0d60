#pragma once

#include <QDir>
#include <QString>

// Files that the launcher keeps beside its own executable.
namespace talvex {

inline const QString FRONT_PAGE_NAME = QStringLiteral("front page of sw.jpg");
inline const QString HELP_DOCUMENT_NAME = QStringLiteral("TALVEX.pdf");

// The window icon, built into the program.
inline const QString WINDOW_ICON_RESOURCE = QStringLiteral(":/talvex/icon.png");

inline const QString APPLICATION_TITLE = QStringLiteral("TALVEX");

// A file of the launcher folder: the folder as the platform writes it, its
// separator and the name.
inline QString fileInLauncherFolder(const QString& launcherFolder, const QString& name)
{
    return QDir::toNativeSeparators(launcherFolder) + QDir::separator() + name;
}

}  // namespace talvex
