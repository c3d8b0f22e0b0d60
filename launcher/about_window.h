#pragma once

#include <QWidget>

class QPdfDocument;
class QPdfView;

namespace talvex {

// The About window: the help document in an embedded viewer. It is deleted
// when the user closes it.
class AboutWindow : public QWidget {
    Q_OBJECT

public:
    explicit AboutWindow(QWidget* parent = nullptr);

    // Opens the document afresh, also when it is already shown.
    void openDocument(const QString& path);

    QPdfDocument* document() const { return document_; }

private:
    void load();

    QPdfDocument* document_;
    QPdfView* WebBrowser1;
};

}  // namespace talvex
