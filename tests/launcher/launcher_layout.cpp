// Form1 at start: the load sequence's layout, appearance and focus.

#include "main_window.h"
#include "launcher_fixture.h"
#include "layout.h"

#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>

using namespace talvex;

namespace {

TwipScale screenScale()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    return {screen->logicalDotsPerInchX(), screen->logicalDotsPerInchY()};
}

template <typename T>
T* control(const QWidget& form, const char* name)
{
    return form.findChild<T*>(QString::fromLatin1(name));
}

}  // namespace

class LayoutTest : public QObject {
    Q_OBJECT

private slots:
    // A 1920 x 1080 screen at 96 dpi is 28800 x 16200 twips: X = 9600, Y = 5400.
    void rowsAndColumnsOfAFullHdScreen()
    {
        const Form1Layout layout = loadLayout(28800, 16200);
        QCOMPARE(layout.Image1, (TwipRect{0, 0, 28790, 16050}));
        QCOMPARE(layout.Label1, (TwipRect{9600, 4400, 3015, 375}));
        QCOMPARE(layout.Text2, (TwipRect{12600, 4400, 2895, 375}));
        QCOMPARE(layout.cmdinputimage, (TwipRect{15600, 4400, 1215, 375}));
        QCOMPARE(layout.Label2, (TwipRect{9600, 5400, 3015, 375}));
        QCOMPARE(layout.Text1, (TwipRect{12600, 5400, 2895, 375}));
        QCOMPARE(layout.cmdparampath, (TwipRect{15600, 5400, 1215, 375}));
        QCOMPARE(layout.Label3, (TwipRect{9600, 6400, 3015, 375}));
        QCOMPARE(layout.Text3, (TwipRect{12600, 6400, 2895, 375}));
        QCOMPARE(layout.cmdoutputpath, (TwipRect{15600, 6400, 1215, 375}));
        QCOMPARE(layout.Command1, (TwipRect{9600, 7400, 1455, 735}));
        QCOMPARE(layout.Command2, (TwipRect{12600, 7400, 1455, 735}));
        QCOMPARE(layout.Command3, (TwipRect{15600, 7400, 1455, 735}));
        QCOMPARE(layout.Picture1, design::Picture1);

        const TwipScale at96(96, 96);
        QCOMPARE(at96.toPixels(layout.Label1), QRect(640, 293, 201, 25));
        QCOMPARE(at96.toPixels(layout.Command3), QRect(1040, 493, 97, 49));
        QCOMPARE(at96.toPixels(layout.Image1), QRect(0, 0, 1919, 1070));
        QCOMPARE(TwipScale(120, 144).toPixels(TwipRect{1440, 1440, 720, 15}), QRect(120, 144, 60, 2));
    }

    // The thirds are taken in single precision and the layout does not adapt
    // to a narrow window: the right column runs past its edge.
    void thirdsInSinglePrecisionAndNoAdaptation()
    {
        const Form1Layout layout = loadLayout(10000, 7000);
        QCOMPARE(layout.Label1.left, 10000.0F / 3.0F);
        QCOMPARE(layout.cmdparampath.left, 10000.0F / 3.0F + 6000.0F);
        QCOMPARE(layout.Label2.top, 7000.0F / 3.0F);
        QVERIFY(layout.cmdinputimage.left + layout.cmdinputimage.width > 10000);
        QCOMPARE(viewerRect(9780, 6840), (TwipRect{0, 0, 9775, 6815}));
    }

    void windowAtScreenSizeWithControlsPlacedByLoad()
    {
        QTemporaryDir folder;
        QVERIFY(test::writeFrontPage(folder.path()));
        MainWindow form(folder.path());

        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        QCOMPARE(form.size(), screen.size());
        QCOMPARE(form.pos(), screen.topLeft());
        QCOMPARE(form.windowTitle(), QStringLiteral("TALVEX"));
        QCOMPARE(form.windowIcon().availableSizes().value(0), QSize(198, 56));

        const TwipScale scale = screenScale();
        const Form1Layout layout =
            loadLayout(scale.toTwipsX(screen.width()), scale.toTwipsY(screen.height()));
        QCOMPARE(control<QLabel>(form, "Image1")->geometry(), scale.toPixels(layout.Image1));
        QVERIFY(control<QLabel>(form, "Image1")->hasScaledContents());
        QVERIFY(!control<QLabel>(form, "Image1")->pixmap().isNull());
        QCOMPARE(control<QLabel>(form, "Label3")->geometry(), scale.toPixels(layout.Label3));
        QCOMPARE(control<QLineEdit>(form, "Text1")->geometry(), scale.toPixels(layout.Text1));
        QCOMPARE(control<QPushButton>(form, "cmdinputimage")->geometry(),
                 scale.toPixels(layout.cmdinputimage));
        QCOMPARE(control<QPushButton>(form, "Command2")->geometry(), scale.toPixels(layout.Command2));
        QCOMPARE(control<QWidget>(form, "Picture1")->geometry(), scale.toPixels(design::Picture1));
        for (const char* field : {"Text1", "Text2", "Text3"})
            QVERIFY(control<QLineEdit>(form, field)->text().isEmpty());
    }

    void tabOrderStartsWithRunWhichHasTheFocus()
    {
        QTemporaryDir folder;
        QVERIFY(test::writeFrontPage(folder.path()));
        MainWindow form(folder.path());
        form.show();
        form.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        QCOMPARE(QApplication::focusWidget(), control<QWidget>(form, "Command1"));

        QStringList order;
        for (int i = 0; i < 10; ++i) {
            order << QApplication::focusWidget()->objectName();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        QCOMPARE(order, (QStringList{"Command1", "Command2", "Text1", "cmdparampath", "Text2",
                                     "cmdinputimage", "Text3", "cmdoutputpath", "Command3",
                                     "Picture1"}));
        QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("Command1"));
    }

    // Without its picture the load stops early: design places, design texts.
    void missingFrontPageLeavesTheDesignLayout()
    {
        QTemporaryDir folder;
        MainWindow form(folder.path());
        const TwipScale scale = screenScale();
        QCOMPARE(form.size(), QGuiApplication::primaryScreen()->geometry().size());
        QCOMPARE(control<QLabel>(form, "Image1")->geometry(), scale.toPixels(design::Image1));
        QCOMPARE(control<QPushButton>(form, "Command3")->geometry(), scale.toPixels(design::Command3));
        QCOMPARE(control<QLineEdit>(form, "Text2")->geometry(), scale.toPixels(design::Text2));
        QCOMPARE(control<QLineEdit>(form, "Text1")->text(), QStringLiteral("Text1"));
        QCOMPARE(control<QLineEdit>(form, "Text2")->text(), QStringLiteral("Text2"));
        QCOMPARE(control<QLineEdit>(form, "Text3")->text(), QStringLiteral("Text3"));
        QVERIFY(form.chosenImagePath().isEmpty());
    }
};

QTEST_MAIN(LayoutTest)
#include "launcher_layout.moc"
