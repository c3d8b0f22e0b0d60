// "About TALVEX" and "Exit".

#include "about_window.h"
#include "control_table.h"
#include "launcher_fixture.h"
#include "main_window.h"

#include <QApplication>
#include <QMessageBox>
#include <QPdfDocument>
#include <QPdfView>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

using namespace talvex;

namespace {

void click(MainWindow& form, const char* button)
{
    form.findChild<QPushButton*>(QString::fromLatin1(button))->click();
}

int visibleAboutWindows()
{
    int count = 0;
    for (const QWidget* widget : QApplication::topLevelWidgets())
        count += widget->objectName() == QStringLiteral("Form2") && widget->isVisible();
    return count;
}

void flushDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

struct Farewell {
    bool shown = false;
    QString text;
    QString title;
    QMessageBox::Icon icon = QMessageBox::Information;
    QList<QAbstractButton*> buttons;
};

// Answers the message box that Exit shows, as soon as it is up.
void answerFarewell(QObject* context, Farewell& seen)
{
    QTimer::singleShot(0, context, [&seen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        seen = {true, box->text(), box->windowTitle(), box->icon(), box->buttons()};
        box->button(QMessageBox::Ok)->click();
    });
}

} // namespace

class AboutExitTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir folder_;

    QString helpPath() const
    {
        return test::pathIn(folder_, QStringLiteral("TALVEX.pdf"));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(test::writeFrontPage(folder_.path()));
    }

    void aboutShowsTheHelpDocumentAtScreenSize()
    {
        QVERIFY(test::writePdf(helpPath(), 2));
        MainWindow form(folder_.path());
        form.show();
        click(form, "Command3");

        AboutWindow* about = form.aboutWindow();
        QVERIFY(about);
        QVERIFY(about->isVisible());
        QVERIFY(!about->parent());
        QCOMPARE(about->windowTitle(), QStringLiteral("About TALVEX"));
        QVERIFY(!about->windowIcon().isNull());
        QCOMPARE(about->document()->status(), QPdfDocument::Status::Ready);
        QCOMPARE(about->document()->pageCount(), 2);

        const QScreen* screen = QGuiApplication::primaryScreen();
        QCOMPARE(about->size(), screen->geometry().size());
        const TwipScale scale(screen->logicalDotsPerInchX(), screen->logicalDotsPerInchY());
        const auto* viewer = about->findChild<QPdfView*>(QStringLiteral("WebBrowser1"));
        QCOMPARE(viewer->document(), about->document());
        const QRect placed = scale.toPixels(
            viewerRect(scale.toTwipsX(about->width()), scale.toTwipsY(about->height())));
        QCOMPARE(viewer->geometry(), placed);
        about->resize(about->width() / 2, about->height() / 2);
        QCOMPARE(viewer->geometry(), placed);
    }

    // One window at a time; each click loads the document again, and a
    // closed window is made anew.
    void aboutReusesOneWindowAndReloads()
    {
        QVERIFY(test::writePdf(helpPath(), 1));
        MainWindow form(folder_.path());
        form.show();
        click(form, "Command3");
        const QPointer<AboutWindow> first = form.aboutWindow();
        QCOMPARE(first->document()->pageCount(), 1);

        QVERIFY(test::writePdf(helpPath(), 3));
        click(form, "Command3");
        QCOMPARE(form.aboutWindow(), first.data());
        QCOMPARE(visibleAboutWindows(), 1);
        QCOMPARE(first->document()->pageCount(), 3);

        first->close();
        flushDeletes();
        QVERIFY(first.isNull());
        QVERIFY(!form.aboutWindow());
        click(form, "Command3");
        QVERIFY(form.aboutWindow());
        QCOMPARE(visibleAboutWindows(), 1);
        form.aboutWindow()->close();
        flushDeletes();
    }

    // Without its help document the window still opens at screen size and
    // says which file it looked for; once the file is there, the next click
    // shows it.
    void missingHelpDocumentIsNamedInTheWindow()
    {
        QTemporaryDir empty;
        MainWindow form(empty.path());
        click(form, "Command3");
        AboutWindow* about = form.aboutWindow();
        QVERIFY(about->isVisible());
        QCOMPARE(about->size(), QGuiApplication::primaryScreen()->geometry().size());
        QCOMPARE(about->document()->status(), QPdfDocument::Status::Error);
        const QString lookedFor = test::pathIn(empty, QStringLiteral("TALVEX.pdf"));
        QVERIFY2(about->missingDocumentMessage().contains(lookedFor),
                 qPrintable(about->missingDocumentMessage()));
        QVERIFY(about->missingDocumentMessage().contains(QStringLiteral("no such file")));
        QVERIFY(!about->findChild<QPdfView*>(QStringLiteral("WebBrowser1"))->isVisible());

        QVERIFY(test::writeFile(lookedFor, "not a PDF"));
        click(form, "Command3");
        QVERIFY(about->missingDocumentMessage().contains(QStringLiteral("not a PDF document")));

        QVERIFY(test::writePdf(lookedFor, 1));
        click(form, "Command3");
        QCOMPARE(form.aboutWindow(), about);
        QVERIFY(about->missingDocumentMessage().isEmpty());
        QVERIFY(about->findChild<QPdfView*>(QStringLiteral("WebBrowser1"))->isVisible());
        about->close();
        flushDeletes();
    }

    void exitThanksTheUserThenCloses()
    {
        MainWindow form(folder_.path());
        form.show();
        Farewell seen;
        answerFarewell(this, seen);
        click(form, "Command2");
        QVERIFY(seen.shown);
        QCOMPARE(seen.text, QStringLiteral("Thank You for Using TALVEX !"));
        QCOMPARE(seen.title, QStringLiteral("TALVEX"));
        QCOMPARE(seen.icon, QMessageBox::NoIcon);
        QCOMPARE(seen.buttons.size(), 1);
        QVERIFY(!form.isVisible());
    }

    void closingTheWindowItselfShowsNoMessage()
    {
        MainWindow form(folder_.path());
        form.show();
        Farewell seen;
        answerFarewell(this, seen);
        QVERIFY(form.close());
        QTest::qWait(20);
        QVERIFY(!seen.shown);
    }

    // The program runs on after Exit while the About window is open, and
    // ends when that window is closed too.
    void aboutWindowKeepsTheProgramAliveAfterExit()
    {
        QVERIFY(test::writePdf(helpPath(), 1));
        MainWindow form(folder_.path());
        form.show();
        click(form, "Command3");
        QPointer<AboutWindow> about = form.aboutWindow();

        Farewell seen;
        bool aliveAfterExit = false;
        QTimer::singleShot(0, this, [&] {
            answerFarewell(this, seen);
            click(form, "Command2");
        });
        QTimer::singleShot(200, this, [&] {
            aliveAfterExit = !form.isVisible() && about && about->isVisible();
            if (about)
                about->close();
        });
        QTimer watchdog;
        watchdog.setSingleShot(true);
        connect(&watchdog, &QTimer::timeout, qApp, [] { QCoreApplication::exit(1); });
        watchdog.start(10000);

        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(seen.shown);
        QVERIFY(aliveAfterExit);
    }
};

QTEST_MAIN(AboutExitTest)
#include "launcher_about_exit.moc"
