#include "about_window.h"

#include "control_table.h"
#include "launcher_files.h"

#include <QGuiApplication>
#include <QIcon>
#include <QPdfDocument>
#include <QPdfView>
#include <QScreen>

namespace talvex {

AboutWindow::AboutWindow(QWidget* parent)
    : QWidget(parent, Qt::Window),
      document_(new QPdfDocument(this)),
      WebBrowser1(new QPdfView(this))
{
    setObjectName(QStringLiteral("Form2"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("About TALVEX"));
    setWindowIcon(QIcon(WINDOW_ICON_RESOURCE));

    WebBrowser1->setObjectName(QStringLiteral("WebBrowser1"));
    WebBrowser1->setPageMode(QPdfView::PageMode::MultiPage);
    WebBrowser1->setZoomMode(QPdfView::ZoomMode::FitToWidth);
    WebBrowser1->setDocument(document_);
    load();
}

// Screen-sized window, placed where the platform puts new windows; the
// viewer is sized once and does not follow later changes of the window.
void AboutWindow::load()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    resize(screen->geometry().size());

    const TwipScale scale(screen->logicalDotsPerInchX(), screen->logicalDotsPerInchY());
    WebBrowser1->setGeometry(
        scale.toPixels(viewerRect(scale.toTwipsX(width()), scale.toTwipsY(height()))));
}

void AboutWindow::openDocument(const QString& path)
{
    document_->load(path);
}

}  // namespace talvex
