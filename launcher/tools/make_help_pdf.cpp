// Build-time tool: typesets the user guide, written as HTML, into the PDF
// that the launcher's About window shows.
//
// usage: make_help_pdf GUIDE.html TALVEX.pdf

#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMarginsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QTextDocument>

#include <cstdio>

namespace {

constexpr int RESOLUTION_DPI = 300;

} // namespace

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: make_help_pdf GUIDE.html TALVEX.pdf\n");
        return 2;
    }

    QFile source(args[1]);
    if (!source.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "make_help_pdf: cannot read %s\n", qPrintable(args[1]));
        return 1;
    }
    QTextDocument guide;
    guide.setHtml(QString::fromUtf8(source.readAll()));

    {
        QPdfWriter writer(args[2]);
        writer.setPageSize(QPageSize(QPageSize::A4));
        // The document sets its own margins and page numbers when printed.
        writer.setPageMargins(QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter);
        writer.setResolution(RESOLUTION_DPI);
        writer.setTitle(guide.metaInformation(QTextDocument::DocumentTitle));
        writer.setCreator(QStringLiteral("TALVEX"));
        guide.print(&writer);
    }

    if (QFileInfo(args[2]).size() == 0) {
        std::fprintf(stderr, "make_help_pdf: cannot write %s\n", qPrintable(args[2]));
        return 1;
    }
    return 0;
}
