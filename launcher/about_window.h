#pragma once

#include <QWidget>

class QLabel;
class QPdfDocument;
class QPdfView;

namespace talvex {

// The About window: the help document in an embedded viewer, or, when the
// document cannot be opened, a short message in its place that names the
// file looked for. It is deleted when the user closes it.
class AboutWindow : public QWidget {
    Q_OBJECT

public:
    explicit AboutWindow(QWidget* parent = nullptr);

    // Opens the document afresh, also when it is already shown.
    void openDocument(const QString& path);

    QPdfDocument* document() const
    {
        return document_;
    }
    // The message shown instead of the document; empty while it is shown.
    QString missingDocumentMessage() const;

private:
    void load();

    QPdfDocument* document_;
    QPdfView* WebBrowser1;
    QLabel* missingDocument_;
};

} // namespace talvex
