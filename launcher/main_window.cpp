#include "main_window.h"

#include "about_window.h"
#include "caption_button.h"
#include "control_table.h"
#include "file_dialogs.h"
#include "launcher_files.h"

#include <QFrame>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>

namespace talvex {

namespace {

const QColor WINDOW_COLOUR(192, 255, 192);
const QColor LABEL_TEXT_COLOUR(255, 255, 128);
const QColor BROWSE_BUTTON_COLOUR(192, 255, 255);
const QColor COMMAND_BUTTON_COLOUR(255, 192, 192);

constexpr qreal WINDOW_FONT_POINTS = 12;
constexpr qreal FIELD_FONT_POINTS = 8.25;
constexpr qreal COMMAND_FONT_POINTS = 14.25;

// Where a font is missing, Qt takes the first of the alternatives that is
// installed: metric-compatible faces keep the captions within their
// controls; the style hint covers the rest.
QFont namedFont(const QStringList& families, QFont::StyleHint hint, qreal points, bool bold)
{
    QFont font(families.constFirst());
    font.setFamilies(families);
    font.setStyleHint(hint);
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

QFont timesNewRoman(qreal points)
{
    return namedFont({QStringLiteral("Times New Roman"), QStringLiteral("Liberation Serif"),
                      QStringLiteral("Tinos"), QStringLiteral("Nimbus Roman"),
                      QStringLiteral("Times")},
                     QFont::Serif, points, true);
}

QFont msSansSerif(qreal points)
{
    return namedFont({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                      QStringLiteral("Nimbus Sans")},
                     QFont::SansSerif, points, false);
}

// Rows of the table that the handlers use.
constexpr std::size_t TEXT1 = controlIndex("Text1");
constexpr std::size_t TEXT2 = controlIndex("Text2");
constexpr std::size_t TEXT3 = controlIndex("Text3");
constexpr std::size_t BROWSE_IMAGE = controlIndex("cmdinputimage");
constexpr std::size_t BROWSE_PARAMETERS = controlIndex("cmdparampath");
constexpr std::size_t BROWSE_OUTPUT = controlIndex("cmdoutputpath");
constexpr std::size_t RUN = controlIndex("Command1");
constexpr std::size_t EXIT = controlIndex("Command2");
constexpr std::size_t ABOUT = controlIndex("Command3");
constexpr std::size_t IMAGE1 = controlIndex("Image1");

QString toQString(std::string_view text)
{
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

TwipScale screenScale(const QScreen& screen)
{
    return {screen.logicalDotsPerInchX(), screen.logicalDotsPerInchY()};
}

} // namespace

MainWindow::MainWindow(const QString& launcherFolder, QWidget* parent)
    : QWidget(parent), files_(locateLauncherFiles(launcherFolder)),
      runLaunch_(launcherFolder,
                 files_.installed ? RunFilesPlace::UserFolder : RunFilesPlace::LauncherFolderFirst)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(APPLICATION_TITLE);
    setWindowIcon(QIcon(WINDOW_ICON_RESOURCE));
    QPalette windowPalette = palette();
    windowPalette.setColor(QPalette::Window, WINDOW_COLOUR);
    setPalette(windowPalette);
    setAutoFillBackground(true);
    setFont(timesNewRoman(WINDOW_FONT_POINTS));

    const TwipScale scale = screenScale(*QGuiApplication::primaryScreen());
    for (std::size_t i = 0; i < CONTROL_COUNT; ++i) {
        const ControlSpec& control = MAIN_WINDOW_CONTROLS[i];
        controls_[i] = createControl(control);
        controls_[i]->setObjectName(toQString(control.name));
        controls_[i]->setGeometry(scale.toPixels(control.design));
    }
    CommonDialog1 = new FileDialogs(this);
    CommonDialog1->setObjectName(QStringLiteral("CommonDialog1"));

    const auto button = [this](std::size_t index) {
        return static_cast<QPushButton*>(controls_[index]);
    };
    connect(button(BROWSE_IMAGE), &QPushButton::clicked, this, &MainWindow::onBrowseImageClicked);
    connect(button(BROWSE_PARAMETERS), &QPushButton::clicked, this,
            &MainWindow::onBrowseParametersClicked);
    connect(button(BROWSE_OUTPUT), &QPushButton::clicked, this, &MainWindow::onBrowseOutputClicked);
    connect(button(RUN), &QPushButton::clicked, this, &MainWindow::onRunClicked);
    connect(button(EXIT), &QPushButton::clicked, this, &MainWindow::onExitClicked);
    connect(button(ABOUT), &QPushButton::clicked, this, &MainWindow::onAboutClicked);

    setFocusOrder();
    load();
}

// The About window has no parent, so that it can outlive this window's
// Exit; whatever is still open when the program ends goes with it.
MainWindow::~MainWindow()
{
    delete aboutWindow_;
}

AboutWindow* MainWindow::aboutWindow() const
{
    return aboutWindow_;
}

QLineEdit* MainWindow::field(std::size_t index) const
{
    return static_cast<QLineEdit*>(controls_[index]);
}

QWidget* MainWindow::createControl(const ControlSpec& control)
{
    const QString caption = toQString(control.caption);
    switch (control.kind) {
    case ControlKind::Picture:
        return new QLabel(this);
    case ControlKind::PictureBox: {
        auto* box = new QFrame(this);
        box->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        box->setBackgroundRole(QPalette::Button);
        box->setAutoFillBackground(true);
        return box;
    }
    case ControlKind::Label: {
        auto* label = new QLabel(caption, this);
        // A caption wider than its label breaks at a word, like the button
        // captions; what does not fit below is cut off.
        label->setWordWrap(true);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        QPalette labelPalette = label->palette();
        labelPalette.setColor(QPalette::WindowText, LABEL_TEXT_COLOUR);
        label->setPalette(labelPalette);
        return label;
    }
    case ControlKind::Field: {
        auto* field = new QLineEdit(caption, this);
        field->setFont(msSansSerif(FIELD_FONT_POINTS));
        return field;
    }
    case ControlKind::BrowseButton:
    case ControlKind::CommandButton: {
        const bool command = control.kind == ControlKind::CommandButton;
        auto* button = new CaptionButton(
            caption, command ? COMMAND_BUTTON_COLOUR : BROWSE_BUTTON_COLOUR, this);
        if (command)
            button->setFont(timesNewRoman(COMMAND_FONT_POINTS));
        // Return or Enter presses the button that has the focus.
        button->setAutoDefault(true);
        return button;
    }
    }
    return nullptr;
}

// The keyboard visits the controls in the order of their tab positions;
// the others take no focus.
void MainWindow::setFocusOrder()
{
    std::array<QWidget*, CONTROL_COUNT> order{};
    std::size_t stops = 0;
    for (std::size_t i = 0; i < CONTROL_COUNT; ++i) {
        const int tabIndex = MAIN_WINDOW_CONTROLS[i].tabIndex;
        if (tabIndex == NO_TAB_STOP) {
            controls_[i]->setFocusPolicy(Qt::NoFocus);
        } else {
            controls_[i]->setFocusPolicy(Qt::StrongFocus);
            order[static_cast<std::size_t>(tabIndex)] = controls_[i];
            ++stops;
        }
    }
    for (std::size_t i = 1; i < stops; ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}

// Runs once, before the window is first shown. Without the front-page
// picture it stops there, leaving every control at its design place.
void MainWindow::load()
{
    controls_[RUN]->setFocus();

    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect screenRect = screen->geometry();
    resize(screenRect.size());
    move(screenRect.right() + 1 - width(), screenRect.bottom() + 1 - height());

    auto* image = static_cast<QLabel*>(controls_[IMAGE1]);
    image->setScaledContents(true);
    const QPixmap picture(files_.frontPage());
    if (picture.isNull())
        return;
    image->setPixmap(picture);
    // Picture1 needs nothing more to keep its content: every widget
    // repaints itself.

    const TwipScale scale = screenScale(*screen);
    const float innerWidth = scale.toTwipsX(width());
    const float innerHeight = scale.toTwipsY(height());
    for (std::size_t i = 0; i < CONTROL_COUNT; ++i)
        controls_[i]->setGeometry(
            scale.toPixels(loadPlace(MAIN_WINDOW_CONTROLS[i], innerWidth, innerHeight)));

    for (const std::size_t text : {TEXT1, TEXT2, TEXT3})
        field(text)->clear();
}

// The image Browse reports a cancel as a failure only once one of the other
// two has set that on the shared dialog; before that, a cancel puts the
// dialog's remembered name back into the field and the recorded path.
void MainWindow::onBrowseImageClicked()
{
    if (!CommonDialog1->showOpen())
        return;
    field(TEXT2)->setText(CommonDialog1->fileName());
    chosenImagePath_ = field(TEXT2)->text();
}

void MainWindow::onBrowseParametersClicked()
{
    CommonDialog1->setCancelError(true);
    if (!CommonDialog1->showOpen())
        return;
    field(TEXT1)->setText(CommonDialog1->fileName());
    chosenParamPath_ = field(TEXT1)->text();
}

void MainWindow::onBrowseOutputClicked()
{
    CommonDialog1->setCancelError(true);
    if (!CommonDialog1->showSave())
        return;
    field(TEXT3)->setText(CommonDialog1->fileName());
    chosenOutputPath_ = field(TEXT3)->text();
}

void MainWindow::onRunClicked()
{
    const RunResult result = runLaunch_.run(chosenImagePath_, chosenParamPath_, chosenOutputPath_);
    if (!result.failure.isEmpty())
        QMessageBox::warning(this, APPLICATION_TITLE, result.failure);
}

void MainWindow::onExitClicked()
{
    QMessageBox farewell(this);
    farewell.setWindowTitle(APPLICATION_TITLE);
    farewell.setText(QStringLiteral("Thank You for Using TALVEX !"));
    farewell.setIcon(QMessageBox::NoIcon);
    farewell.setStandardButtons(QMessageBox::Ok);
    farewell.exec();
    close();
}

void MainWindow::onAboutClicked()
{
    if (!aboutWindow_)
        aboutWindow_ = new AboutWindow();
    aboutWindow_->show();
    aboutWindow_->raise();
    aboutWindow_->activateWindow();
    aboutWindow_->openDocument(files_.helpDocument());
}

} // namespace talvex
