#include "about_window.h"

#include "control_table.h"
#include "launcher_files.h"

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QPdfDocument>
#include <QPdfView>
#include <QScreen>

namespace talvex {

namespace {

// Why a help document could not be opened, in the user's words.
QString whyNotOpened(const QString& path, QPdfDocument::Error error)
{
    const QFileInfo file(path);
    if (!file.exists())
        return QStringLiteral("There is no such file.");
    if (!file.isFile() || !file.isReadable())
        return QStringLiteral("The file cannot be read.");
    switch (error) {
    case QPdfDocument::Error::InvalidFileFormat:
        return QStringLiteral("The file is not a PDF document, or it is damaged.");
    case QPdfDocument::Error::IncorrectPassword:
    case QPdfDocument::Error::UnsupportedSecurityScheme:
        return QStringLiteral("The document is protected.");
    default:
        return QStringLiteral("The document cannot be shown.");
    }
}

} // namespace

AboutWindow::AboutWindow(QWidget* parent)
    : QWidget(parent, Qt::Window), document_(new QPdfDocument(this)),
      WebBrowser1(new QPdfView(this)), missingDocument_(new QLabel(this))
{
    setObjectName(QStringLiteral("Form2"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("About TALVEX"));
    setWindowIcon(QIcon(WINDOW_ICON_RESOURCE));

    WebBrowser1->setObjectName(QStringLiteral("WebBrowser1"));
    WebBrowser1->setPageMode(QPdfView::PageMode::MultiPage);
    WebBrowser1->setZoomMode(QPdfView::ZoomMode::FitToWidth);
    WebBrowser1->setDocument(document_);
    missingDocument_->setObjectName(QStringLiteral("missingDocument"));
    missingDocument_->setAlignment(Qt::AlignCenter);
    missingDocument_->setWordWrap(true);
    missingDocument_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    missingDocument_->hide();
    load();
}

// Screen-sized window, placed where the platform puts new windows; the
// viewer is sized once and does not follow later changes of the window.
void AboutWindow::load()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    resize(screen->geometry().size());

    const TwipScale scale(screen->logicalDotsPerInchX(), screen->logicalDotsPerInchY());
    const QRect viewer =
        scale.toPixels(viewerRect(scale.toTwipsX(width()), scale.toTwipsY(height())));
    WebBrowser1->setGeometry(viewer);
    missingDocument_->setGeometry(viewer);
}

void AboutWindow::openDocument(const QString& path)
{
    const QPdfDocument::Error error = document_->load(path);
    const bool opened = error == QPdfDocument::Error::None;
    if (!opened)
        missingDocument_->setText(
            QStringLiteral("The help document cannot be shown.\n\n%1\n\n%2")
                .arg(QDir::toNativeSeparators(path), whyNotOpened(path, error)));
    WebBrowser1->setVisible(opened);
    missingDocument_->setVisible(!opened);
}

QString AboutWindow::missingDocumentMessage() const
{
    return missingDocument_->isHidden() ? QString() : missingDocument_->text();
}

} // namespace talvex
