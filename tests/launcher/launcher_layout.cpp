// The main window at start: the load sequence's layout, appearance and focus,
// read against the table of controls.

#include "control_table.h"
#include "launcher_fixture.h"
#include "main_window.h"

#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleFactory>
#include <QTest>

#include <algorithm>
#include <map>

Q_DECLARE_METATYPE(talvex::TwipRect)

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

const ControlSpec& controlNamed(std::string_view name)
{
    const auto* found = std::find_if(MAIN_WINDOW_CONTROLS.begin(), MAIN_WINDOW_CONTROLS.end(),
                                     [name](const ControlSpec& row) { return row.name == name; });
    Q_ASSERT(found != MAIN_WINDOW_CONTROLS.end());
    return *found;
}

QString nameOf(const ControlSpec& row)
{
    return QString::fromLatin1(row.name.data(), qsizetype(row.name.size()));
}

// The colour that covers most of a widget as drawn.
QColor dominantColour(QWidget& widget)
{
    const QImage image = widget.grab().toImage();
    std::map<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ++counts[image.pixel(x, y) | 0xFF000000U];
    const auto most =
        std::max_element(counts.begin(), counts.end(),
                         [](const auto& a, const auto& b) { return a.second < b.second; });
    return QColor(most->first);
}

} // namespace

class LayoutTest : public QObject {
    Q_OBJECT

private slots:
    // A 1920 x 1080 screen at 96 dpi is 28800 x 16200 twips: X = 9600, Y = 5400.
    void rowsAndColumnsOfAFullHdScreen_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<TwipRect>("place");
        const auto row = [](const char* name, TwipRect place) {
            QTest::newRow(name) << QString::fromLatin1(name) << place;
        };
        row("Image1", {0, 0, 28790, 16050});
        row("Picture1", {240, 1320, 375, 495});
        row("Label1", {9600, 4400, 3015, 375});
        row("Text2", {12600, 4400, 2895, 375});
        row("cmdinputimage", {15600, 4400, 1215, 375});
        row("Label2", {9600, 5400, 3015, 375});
        row("Text1", {12600, 5400, 2895, 375});
        row("cmdparampath", {15600, 5400, 1215, 375});
        row("Label3", {9600, 6400, 3015, 375});
        row("Text3", {12600, 6400, 2895, 375});
        row("cmdoutputpath", {15600, 6400, 1215, 375});
        row("Command1", {9600, 7400, 1455, 735});
        row("Command2", {12600, 7400, 1455, 735});
        row("Command3", {15600, 7400, 1455, 735});
    }

    void rowsAndColumnsOfAFullHdScreen()
    {
        QFETCH(QString, name);
        QFETCH(TwipRect, place);
        QCOMPARE(loadPlace(controlNamed(name.toStdString()), 28800, 16200), place);
    }

    void twipsToPixels()
    {
        const TwipScale at96(96, 96);
        QCOMPARE(at96.toPixels(loadPlace(controlNamed("Label1"), 28800, 16200)),
                 QRect(640, 293, 201, 25));
        QCOMPARE(at96.toPixels(loadPlace(controlNamed("Command3"), 28800, 16200)),
                 QRect(1040, 493, 97, 49));
        QCOMPARE(at96.toPixels(loadPlace(controlNamed("Image1"), 28800, 16200)),
                 QRect(0, 0, 1919, 1070));
        QCOMPARE(TwipScale(120, 144).toPixels(TwipRect{1440, 1440, 720, 15}),
                 QRect(120, 144, 60, 2));
    }

    // The thirds are taken in single precision and the layout does not adapt
    // to a narrow window: the right column runs past its edge.
    void thirdsInSinglePrecisionAndNoAdaptation()
    {
        QCOMPARE(loadPlace(controlNamed("Label1"), 10000, 7000).left, 10000.0F / 3.0F);
        QCOMPARE(loadPlace(controlNamed("cmdparampath"), 10000, 7000).left,
                 10000.0F / 3.0F + 6000.0F);
        QCOMPARE(loadPlace(controlNamed("Label2"), 10000, 7000).top, 7000.0F / 3.0F);
        const TwipRect browse = loadPlace(controlNamed("cmdinputimage"), 10000, 7000);
        QVERIFY(browse.left + browse.width > 10000);
        QCOMPARE(viewerRect(9780, 6840), (TwipRect{0, 0, 9775, 6815}));
    }

    // Every control of the table is there, with its caption, where the load
    // sequence puts it.
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
        QVERIFY(control<QLabel>(form, "Image1")->hasScaledContents());
        QVERIFY(!control<QLabel>(form, "Image1")->pixmap().isNull());

        const TwipScale scale = screenScale();
        const float innerWidth = scale.toTwipsX(screen.width());
        const float innerHeight = scale.toTwipsY(screen.height());
        for (std::size_t i = 0; i < MAIN_WINDOW_CONTROLS.size(); ++i) {
            const ControlSpec& row = MAIN_WINDOW_CONTROLS[i];
            const QWidget* widget = control<QWidget>(form, row.name.data());
            QVERIFY2(widget && widget == form.control(i), row.name.data());
            QCOMPARE(widget->geometry(), scale.toPixels(loadPlace(row, innerWidth, innerHeight)));
            const QString caption =
                QString::fromLatin1(row.caption.data(), qsizetype(row.caption.size()));
            if (const auto* button = qobject_cast<const QPushButton*>(widget))
                QCOMPARE(button->text(), caption);
            if (row.kind == ControlKind::Label)
                QCOMPARE(qobject_cast<const QLabel*>(widget)->text(), caption);
            if (const auto* field = qobject_cast<const QLineEdit*>(widget))
                QVERIFY(field->text().isEmpty());
        }
    }

    // Focus starts on "Run >>" and Tab walks the controls by tab position,
    // back round to the start.
    void tabOrderStartsWithRunWhichHasTheFocus()
    {
        QTemporaryDir folder;
        QVERIFY(test::writeFrontPage(folder.path()));
        MainWindow form(folder.path());
        form.show();
        form.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        QCOMPARE(QApplication::focusWidget(), control<QWidget>(form, "Command1"));

        QStringList expected(MAIN_WINDOW_CONTROLS.size());
        qsizetype stops = 0;
        for (const ControlSpec& row : MAIN_WINDOW_CONTROLS) {
            if (row.tabIndex != NO_TAB_STOP) {
                expected[row.tabIndex] = nameOf(row);
                ++stops;
            }
        }
        expected.resize(stops);
        QCOMPARE(expected.value(0), QStringLiteral("Command1"));
        QCOMPARE(expected.value(9), QStringLiteral("Picture1"));

        QStringList order;
        for (qsizetype i = 0; i < stops; ++i) {
            order << QApplication::focusWidget()->objectName();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        QCOMPARE(order, expected);
        QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("Command1"));
    }

    // The buttons show their fill colours flat, also with the focus and while
    // pressed, whatever style the application runs under: the default one and
    // every style installed.
    void buttonsShowTheirFillColourUnderEveryStyle()
    {
        QTemporaryDir folder;
        QVERIFY(test::writeFrontPage(folder.path()));
        QStringList styles = QStyleFactory::keys();
        styles.prepend(QApplication::style()->name());
        const QColor browse(192, 255, 255);
        const QColor command(255, 192, 192);
        for (const QString& style : styles) {
            QApplication::setStyle(style);
            MainWindow form(folder.path());
            form.show();
            form.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&form));
            for (const ControlSpec& row : MAIN_WINDOW_CONTROLS) {
                auto* button = control<QPushButton>(form, row.name.data());
                if (!button)
                    continue;
                const QColor expected = row.kind == ControlKind::BrowseButton ? browse : command;
                QCOMPARE(dominantColour(*button), expected);
                button->setDown(true);
                QCOMPARE(dominantColour(*button), expected);
                button->setDown(false);
            }
        }
    }

    // Without its picture the load stops early: design places, design texts.
    void missingFrontPageLeavesTheDesignLayout()
    {
        QTemporaryDir folder;
        MainWindow form(folder.path());
        const TwipScale scale = screenScale();
        QCOMPARE(form.size(), QGuiApplication::primaryScreen()->geometry().size());
        for (const ControlSpec& row : MAIN_WINDOW_CONTROLS)
            QCOMPARE(control<QWidget>(form, row.name.data())->geometry(),
                     scale.toPixels(row.design));
        QCOMPARE(control<QLineEdit>(form, "Text1")->text(), QStringLiteral("Text1"));
        QCOMPARE(control<QLineEdit>(form, "Text2")->text(), QStringLiteral("Text2"));
        QCOMPARE(control<QLineEdit>(form, "Text3")->text(), QStringLiteral("Text3"));
        QVERIFY(form.chosenImagePath().isEmpty());
    }
};

QTEST_MAIN(LayoutTest)
#include "launcher_layout.moc"
