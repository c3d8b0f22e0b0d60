#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QFileDialog;
class QWidget;

namespace talvex {

// The one file dialog behind the three Browse buttons. Like a classic common
// dialog control it remembers the file name last chosen in any of its
// dialogs, and it can be told to report a cancel as a failure; that setting
// stays once made.
class FileDialogs : public QObject {
    Q_OBJECT

public:
    // Runs a prepared dialog and returns its QDialog result code. The
    // default runs it modally; tests put in one that drives it.
    using Executor = std::function<int(QFileDialog&)>;

    // Longest file name, in characters, that the dialog hands back.
    static constexpr int MAX_FILE_NAME_LENGTH = 260;

    explicit FileDialogs(QWidget* owner);

    QString fileName() const
    {
        return fileName_;
    }
    bool cancelError() const
    {
        return cancelError_;
    }
    void setCancelError(bool cancelError)
    {
        cancelError_ = cancelError;
    }
    void setExecutor(Executor executor);

    // Show a file-open or a file-save dialog. Both return false when the
    // dialog failed: a cancel while cancelError() is set, or a chosen name
    // longer than MAX_FILE_NAME_LENGTH. A cancel otherwise returns true and
    // leaves fileName() as it was.
    bool showOpen();
    bool showSave();

private:
    bool show(bool save);

    QWidget* owner_;
    QString fileName_;
    bool cancelError_ = false;
    Executor executor_;
};

} // namespace talvex
