#pragma once

#include "control_table.h"
#include "launcher_files.h"
#include "run_launch.h"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <array>

class QLineEdit;

namespace talvex {

class AboutWindow;
class FileDialogs;
class TwipScale;

// The launcher's main window, Form1: three Browse rows that record the
// image, the parameter file and the output path, and the Run, Exit and
// About buttons. Its controls are the rows of MAIN_WINDOW_CONTROLS.
class MainWindow : public QWidget {
    Q_OBJECT

public:
    // launcherFolder holds the processor; the front-page picture and the help
    // document are beside it or in the installation's data folder, and a
    // Run's files go beside it only in a ready-to-run folder.
    explicit MainWindow(const QString& launcherFolder, QWidget* parent = nullptr);
    ~MainWindow() override;

    QString chosenImagePath() const
    {
        return chosenImagePath_;
    }
    QString chosenParamPath() const
    {
        return chosenParamPath_;
    }
    QString chosenOutputPath() const
    {
        return chosenOutputPath_;
    }

    // The widget of a row of MAIN_WINDOW_CONTROLS.
    QWidget* control(std::size_t index) const
    {
        return controls_[index];
    }
    FileDialogs& commonDialog() const
    {
        return *CommonDialog1;
    }
    RunLaunch& runLaunch()
    {
        return runLaunch_;
    }
    const LauncherFiles& launcherFiles() const
    {
        return files_;
    }
    // The About window while it is open, otherwise null.
    AboutWindow* aboutWindow() const;

private:
    QWidget* createControl(const ControlSpec& control);
    void setFocusOrder();
    void placeControls(const TwipScale& scale, float innerWidth, float innerHeight);
    void load();
    QLineEdit* field(std::size_t index) const;

    void onBrowseImageClicked();
    void onBrowseParametersClicked();
    void onBrowseOutputClicked();
    void onRunClicked();
    void onExitClicked();
    void onAboutClicked();

    LauncherFiles files_;
    QString chosenImagePath_;
    QString chosenParamPath_;
    QString chosenOutputPath_;
    RunLaunch runLaunch_;
    QPointer<AboutWindow> aboutWindow_;

    std::array<QWidget*, CONTROL_COUNT> controls_{};
    FileDialogs* CommonDialog1;
};

} // namespace talvex
