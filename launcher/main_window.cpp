#include "main_window.h"

#include "caption_button.h"
#include "file_dialogs.h"
#include "about_window.h"
#include "launcher_files.h"
#include "layout.h"

#include <QFrame>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleFactory>

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

}  // namespace

MainWindow::MainWindow(const QString& launcherFolder, QWidget* parent)
    : QWidget(parent),
      launcherFolder_(launcherFolder),
      runLaunch_(launcherFolder),
      buttonStyle_(QStyleFactory::create(QStringLiteral("Fusion")))
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(APPLICATION_TITLE);
    setWindowIcon(QIcon(WINDOW_ICON_RESOURCE));
    QPalette windowPalette = palette();
    windowPalette.setColor(QPalette::Window, WINDOW_COLOUR);
    setPalette(windowPalette);
    setAutoFillBackground(true);
    setFont(timesNewRoman(WINDOW_FONT_POINTS));
    if (buttonStyle_)
        buttonStyle_->setParent(this);

    createControls();
    setFocusOrder();
    load();
}

// The About window has no parent, so that it can outlive this window's
// Exit; whatever is still open when the program ends goes with it.
MainWindow::~MainWindow()
{
    delete Form2_;
}

AboutWindow* MainWindow::aboutWindow() const
{
    return Form2_;
}

void MainWindow::createControls()
{
    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));

    Picture1 = new QFrame(this);
    Picture1->setObjectName(QStringLiteral("Picture1"));
    Picture1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Picture1->setBackgroundRole(QPalette::Button);
    Picture1->setAutoFillBackground(true);
    Picture1->setFocusPolicy(Qt::StrongFocus);

    const auto makeLabel = [this](const char* name, const QString& text) {
        auto* label = new QLabel(text, this);
        label->setObjectName(QString::fromLatin1(name));
        // A caption wider than its label breaks at a word, like the button
        // captions; what does not fit below is cut off.
        label->setWordWrap(true);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        QPalette labelPalette = label->palette();
        labelPalette.setColor(QPalette::WindowText, LABEL_TEXT_COLOUR);
        label->setPalette(labelPalette);
        return label;
    };
    Label1 = makeLabel("Label1", QStringLiteral("Input Image File (DN Image)"));
    Label2 = makeLabel("Label2", QStringLiteral("Input Parameters (Text File)"));
    Label3 = makeLabel("Label3", QStringLiteral("Output Image File"));

    const auto makeField = [this](const char* name) {
        auto* field = new QLineEdit(QString::fromLatin1(name), this);
        field->setObjectName(QString::fromLatin1(name));
        field->setFont(msSansSerif(FIELD_FONT_POINTS));
        return field;
    };
    Text1 = makeField("Text1");
    Text2 = makeField("Text2");
    Text3 = makeField("Text3");

    const auto makeButton = [this](const char* name, const QString& text, const QColor& fill) {
        auto* button = new CaptionButton(text, this);
        button->setObjectName(QString::fromLatin1(name));
        if (buttonStyle_)
            button->setStyle(buttonStyle_);
        QPalette buttonPalette = button->palette();
        buttonPalette.setColor(QPalette::Button, fill);
        buttonPalette.setColor(QPalette::ButtonText, Qt::black);
        button->setPalette(buttonPalette);
        // Return or Enter presses the button that has the focus.
        button->setAutoDefault(true);
        return button;
    };
    const QString browse = QStringLiteral("Browse");
    cmdinputimage = makeButton("cmdinputimage", browse, BROWSE_BUTTON_COLOUR);
    cmdparampath = makeButton("cmdparampath", browse, BROWSE_BUTTON_COLOUR);
    cmdoutputpath = makeButton("cmdoutputpath", browse, BROWSE_BUTTON_COLOUR);
    Command1 = makeButton("Command1", QStringLiteral("Run >>"), COMMAND_BUTTON_COLOUR);
    Command2 = makeButton("Command2", QStringLiteral("Exit"), COMMAND_BUTTON_COLOUR);
    Command3 = makeButton("Command3", QStringLiteral("About TALVEX"), COMMAND_BUTTON_COLOUR);
    for (QPushButton* command : {Command1, Command2, Command3})
        command->setFont(timesNewRoman(COMMAND_FONT_POINTS));

    CommonDialog1 = new FileDialogs(this);
    CommonDialog1->setObjectName(QStringLiteral("CommonDialog1"));

    connect(cmdinputimage, &QPushButton::clicked, this, &MainWindow::onCmdinputimageClicked);
    connect(cmdparampath, &QPushButton::clicked, this, &MainWindow::onCmdparampathClicked);
    connect(cmdoutputpath, &QPushButton::clicked, this, &MainWindow::onCmdoutputpathClicked);
    connect(Command1, &QPushButton::clicked, this, &MainWindow::onCommand1Clicked);
    connect(Command2, &QPushButton::clicked, this, &MainWindow::onCommand2Clicked);
    connect(Command3, &QPushButton::clicked, this, &MainWindow::onCommand3Clicked);

    const QScreen* screen = QGuiApplication::primaryScreen();
    applyLayout(designLayout(),
                TwipScale(screen->logicalDotsPerInchX(), screen->logicalDotsPerInchY()));
}

void MainWindow::setFocusOrder()
{
    QWidget* const order[] = {Command1,      Command2, Text1,         cmdparampath, Text2,
                              cmdinputimage, Text3,    cmdoutputpath, Command3,     Picture1};
    for (std::size_t i = 1; i < std::size(order); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
    Image1->setFocusPolicy(Qt::NoFocus);
}

void MainWindow::applyLayout(const Form1Layout& layout, const TwipScale& scale)
{
    const std::pair<QWidget*, TwipRect> places[] = {
        {Image1, layout.Image1},       {Picture1, layout.Picture1},
        {Label1, layout.Label1},       {Text2, layout.Text2},
        {cmdinputimage, layout.cmdinputimage},
        {Label2, layout.Label2},       {Text1, layout.Text1},
        {cmdparampath, layout.cmdparampath},
        {Label3, layout.Label3},       {Text3, layout.Text3},
        {cmdoutputpath, layout.cmdoutputpath},
        {Command1, layout.Command1},   {Command2, layout.Command2},
        {Command3, layout.Command3}};
    for (const auto& [control, place] : places)
        control->setGeometry(scale.toPixels(place));
}

// Runs once, before the window is first shown. Without the front-page
// picture it stops there, leaving every control at its design place.
void MainWindow::load()
{
    Command1->setFocus();

    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect screenRect = screen->geometry();
    resize(screenRect.size());
    move(screenRect.right() + 1 - width(), screenRect.bottom() + 1 - height());

    Image1->setScaledContents(true);
    const QPixmap picture(fileInLauncherFolder(launcherFolder_, FRONT_PAGE_NAME));
    if (picture.isNull())
        return;
    Image1->setPixmap(picture);
    // Picture1 needs nothing more to keep its content: every widget
    // repaints itself.

    const TwipScale scale(screen->logicalDotsPerInchX(), screen->logicalDotsPerInchY());
    applyLayout(loadLayout(scale.toTwipsX(width()), scale.toTwipsY(height())), scale);

    Text1->clear();
    Text2->clear();
    Text3->clear();
}

// The image Browse reports a cancel as a failure only once one of the other
// two has set that on the shared dialog; before that, a cancel puts the
// dialog's remembered name back into the field and the recorded path.
void MainWindow::onCmdinputimageClicked()
{
    if (!CommonDialog1->showOpen())
        return;
    Text2->setText(CommonDialog1->fileName());
    chosenImagePath_ = Text2->text();
}

void MainWindow::onCmdparampathClicked()
{
    CommonDialog1->setCancelError(true);
    if (!CommonDialog1->showOpen())
        return;
    Text1->setText(CommonDialog1->fileName());
    chosenParamPath_ = Text1->text();
}

void MainWindow::onCmdoutputpathClicked()
{
    CommonDialog1->setCancelError(true);
    if (!CommonDialog1->showSave())
        return;
    Text3->setText(CommonDialog1->fileName());
    chosenOutputPath_ = Text3->text();
}

void MainWindow::onCommand1Clicked()
{
    runLaunch_.run(chosenImagePath_, chosenParamPath_, chosenOutputPath_);
}

void MainWindow::onCommand2Clicked()
{
    QMessageBox farewell(this);
    farewell.setWindowTitle(APPLICATION_TITLE);
    farewell.setText(QStringLiteral("Thank You for Using TALVEX !"));
    farewell.setIcon(QMessageBox::NoIcon);
    farewell.setStandardButtons(QMessageBox::Ok);
    farewell.exec();
    close();
}

void MainWindow::onCommand3Clicked()
{
    if (!Form2_)
        Form2_ = new AboutWindow();
    Form2_->show();
    Form2_->raise();
    Form2_->activateWindow();
    Form2_->openDocument(fileInLauncherFolder(launcherFolder_, HELP_DOCUMENT_NAME));
}

}  // namespace talvex
