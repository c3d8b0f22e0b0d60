#pragma once

#include "run_launch.h"

#include <QPointer>
#include <QString>
#include <QWidget>

class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QStyle;

namespace talvex {

class FileDialogs;
class AboutWindow;
struct Form1Layout;
class TwipScale;

// The launcher's main window: three Browse rows that record the image, the
// parameter file and the output path, and the Run, Exit and About buttons.
class MainWindow : public QWidget {
    Q_OBJECT

public:
    // launcherFolder holds the front-page picture, the help document and the
    // processor, and receives the files written by a run.
    explicit MainWindow(const QString& launcherFolder, QWidget* parent = nullptr);
    ~MainWindow() override;

    QString chosenImagePath() const { return chosenImagePath_; }
    QString chosenParamPath() const { return chosenParamPath_; }
    QString chosenOutputPath() const { return chosenOutputPath_; }

    FileDialogs& commonDialog() const { return *CommonDialog1; }
    RunLaunch& runLaunch() { return runLaunch_; }
    // The About window while it is open, otherwise null.
    AboutWindow* aboutWindow() const;

private:
    void createControls();
    void setFocusOrder();
    void applyLayout(const Form1Layout& layout, const TwipScale& scale);
    void load();

    void onCmdinputimageClicked();
    void onCmdparampathClicked();
    void onCmdoutputpathClicked();
    void onCommand1Clicked();
    void onCommand2Clicked();
    void onCommand3Clicked();

    QString launcherFolder_;
    QString chosenImagePath_;
    QString chosenParamPath_;
    QString chosenOutputPath_;
    RunLaunch runLaunch_;
    QPointer<AboutWindow> Form2_;

    QStyle* buttonStyle_;
    QLabel* Image1;
    QFrame* Picture1;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLineEdit* Text1;
    QLineEdit* Text2;
    QLineEdit* Text3;
    QPushButton* cmdinputimage;
    QPushButton* cmdparampath;
    QPushButton* cmdoutputpath;
    QPushButton* Command1;
    QPushButton* Command2;
    QPushButton* Command3;
    FileDialogs* CommonDialog1;
};

}  // namespace talvex
