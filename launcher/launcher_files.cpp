#include "launcher_files.h"

#include <QDir>
#include <QFileInfo>

namespace talvex {

QString fileInFolder(const QString& folder, const QString& name)
{
    return QDir::toNativeSeparators(folder) + QDir::separator() + name;
}

QString installedDataFolder(const QString& launcherFolder)
{
    // The data folder as seen from the programs' folder, from the build's
    // installation layout.
    return QDir::toNativeSeparators(
        QDir::cleanPath(QDir(launcherFolder).filePath(QStringLiteral(TALVEX_DATA_FROM_BIN))));
}

LauncherFiles locateLauncherFiles(const QString& launcherFolder)
{
    const auto holdsShippedFile = [](const QString& folder) {
        return QFileInfo::exists(fileInFolder(folder, FRONT_PAGE_NAME))
               || QFileInfo::exists(fileInFolder(folder, HELP_DOCUMENT_NAME));
    };
    if (!holdsShippedFile(launcherFolder)) {
        const QString dataFolder = installedDataFolder(launcherFolder);
        if (QFileInfo(dataFolder).isDir())
            return {launcherFolder, dataFolder, true};
    }
    return {launcherFolder, launcherFolder, false};
}

} // namespace talvex
