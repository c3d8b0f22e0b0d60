#include "file_dialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QWidget>

namespace talvex {

namespace {

int runModally(QFileDialog& dialog)
{
    return dialog.exec();
}

} // namespace

FileDialogs::FileDialogs(QWidget* owner) : QObject(owner), owner_(owner), executor_(runModally) {}

void FileDialogs::setExecutor(Executor executor)
{
    executor_ = executor ? std::move(executor) : Executor(runModally);
}

bool FileDialogs::showOpen()
{
    return show(false);
}

bool FileDialogs::showSave()
{
    return show(true);
}

bool FileDialogs::show(bool save)
{
    // No title, filter, folder or default extension of our own: every file
    // is listed, and the dialog starts on the file name last chosen.
    QFileDialog dialog(owner_);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    if (save) {
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
    } else {
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
    }
    if (!fileName_.isEmpty())
        dialog.selectFile(fileName_);

    const int result = executor_(dialog);
    // Give the keyboard back to the window the dialog was opened from, also
    // where no window manager does it.
    if (owner_->isVisible())
        owner_->activateWindow();
    if (result != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return !cancelError_;

    const QString chosen = QDir::toNativeSeparators(dialog.selectedFiles().constFirst());
    if (chosen.size() > MAX_FILE_NAME_LENGTH)
        return false;
    fileName_ = chosen;
    return true;
}

} // namespace talvex
