// The three Browse buttons and the one file dialog they share.

#include "file_dialogs.h"
#include "launcher_fixture.h"
#include "main_window.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <deque>

using namespace talvex;

namespace {

// What a dialog looked like when it was shown.
struct Shown {
    QFileDialog::AcceptMode mode;
    QString presetFile;
    bool native;
    bool confirmsOverwrite;
    QString defaultSuffix;
};

// Plays the user: each dialog shown takes the next answer, a path to accept
// or an empty string to cancel.
class ScriptedUser {
public:
    explicit ScriptedUser(MainWindow& form)
    {
        form.commonDialog().setExecutor([this](QFileDialog& dialog) {
            const QStringList preset = dialog.selectedFiles();
            shown.push_back({dialog.acceptMode(), preset.value(0),
                             !dialog.testOption(QFileDialog::DontUseNativeDialog),
                             !dialog.testOption(QFileDialog::DontConfirmOverwrite),
                             dialog.defaultSuffix()});
            const QString answer = answers.empty() ? QString() : answers.front();
            if (!answers.empty())
                answers.pop_front();
            if (answer.isEmpty())
                return int(QDialog::Rejected);
            dialog.selectFile(answer);
            return int(QDialog::Accepted);
        });
    }

    std::deque<QString> answers;
    std::vector<Shown> shown;
};

void click(MainWindow& form, const char* button)
{
    form.findChild<QPushButton*>(QString::fromLatin1(button))->click();
}

QString fieldText(MainWindow& form, const char* field)
{
    return form.findChild<QLineEdit*>(QString::fromLatin1(field))->text();
}

} // namespace

class BrowseTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir folder_;
    QString image_;
    QString params_;

private slots:
    void initTestCase()
    {
        QVERIFY(test::writeFrontPage(folder_.path()));
        image_ = test::pathIn(folder_, QStringLiteral("scene 42.dn"));
        params_ = test::pathIn(folder_, QStringLiteral("params.txt"));
        QVERIFY(test::writeFile(image_, "dn"));
        QVERIFY(test::writeFile(params_, "2 3\n"));
    }

    // Each accepted Browse shows and records its path; the next dialog, of
    // any button, opens on the file chosen last.
    void acceptedChoicesAreShownRecordedAndShared()
    {
        MainWindow form(folder_.path());
        ScriptedUser user(form);
        const QString output = test::pathIn(folder_, QStringLiteral("results/scene42"));
        user.answers = {image_, params_, output};

        click(form, "cmdinputimage");
        click(form, "cmdparampath");
        click(form, "cmdoutputpath");

        QCOMPARE(fieldText(form, "Text2"), image_);
        QCOMPARE(fieldText(form, "Text1"), params_);
        QCOMPARE(fieldText(form, "Text3"), output);
        QCOMPARE(form.chosenImagePath(), image_);
        QCOMPARE(form.chosenParamPath(), params_);
        QCOMPARE(form.chosenOutputPath(), output);

        QCOMPARE(user.shown.size(), std::size_t{3});
        QVERIFY(user.shown[0].presetFile.isEmpty() || QFileInfo(user.shown[0].presetFile).isDir());
        QCOMPARE(user.shown[1].presetFile, image_);
        QCOMPARE(user.shown[2].presetFile, params_);
        QCOMPARE(user.shown[0].mode, QFileDialog::AcceptOpen);
        QCOMPARE(user.shown[1].mode, QFileDialog::AcceptOpen);
        // The save dialog: no overwrite question, no extension added.
        QCOMPARE(user.shown[2].mode, QFileDialog::AcceptSave);
        QVERIFY(!user.shown[2].confirmsOverwrite);
        QVERIFY(user.shown[2].defaultSuffix.isEmpty());
        for (const Shown& dialog : user.shown)
            QVERIFY(!dialog.native);
    }

    void cancelledParamAndOutputDialogsChangeNothing()
    {
        MainWindow form(folder_.path());
        ScriptedUser user(form);
        user.answers = {params_, QString(), QString()};
        click(form, "cmdparampath");
        form.findChild<QLineEdit*>(QStringLiteral("Text3"))->setText(QStringLiteral("typed"));
        click(form, "cmdparampath");
        click(form, "cmdoutputpath");

        QCOMPARE(form.chosenParamPath(), params_);
        QCOMPARE(fieldText(form, "Text1"), params_);
        QVERIFY(form.chosenOutputPath().isEmpty());
        QCOMPARE(fieldText(form, "Text3"), QStringLiteral("typed"));
    }

    // Until a parameter or output Browse has set cancel-as-failure on the
    // shared dialog, a cancelled image dialog still fills Text2 with the
    // dialog's file name; afterwards it changes nothing.
    void cancelledImageDialogBeforeAndAfterTheOthers()
    {
        MainWindow form(folder_.path());
        ScriptedUser user(form);
        auto* text2 = form.findChild<QLineEdit*>(QStringLiteral("Text2"));

        user.answers = {QString()};
        text2->setText(QStringLiteral("typed before"));
        click(form, "cmdinputimage");
        QCOMPARE(text2->text(), QString());
        QVERIFY(form.chosenImagePath().isEmpty());

        user.answers = {image_, QString()};
        click(form, "cmdinputimage");
        text2->setText(QStringLiteral("typed"));
        click(form, "cmdinputimage");
        QCOMPARE(text2->text(), image_);
        QCOMPARE(form.chosenImagePath(), image_);

        user.answers = {QString(), QString()};
        click(form, "cmdoutputpath");
        text2->setText(QStringLiteral("typed again"));
        click(form, "cmdinputimage");
        QCOMPARE(text2->text(), QStringLiteral("typed again"));
        QCOMPARE(form.chosenImagePath(), image_);
        QVERIFY(form.commonDialog().cancelError());
    }

    void saveNameWithoutExtensionAndOverlongNames()
    {
        MainWindow form(folder_.path());
        ScriptedUser user(form);
        const QString bare = test::pathIn(folder_, QStringLiteral("out put"));
        const QString overlong =
            test::pathIn(folder_, QString(FileDialogs::MAX_FILE_NAME_LENGTH, u'x'));
        user.answers = {bare, overlong};
        click(form, "cmdoutputpath");
        click(form, "cmdoutputpath");
        QCOMPARE(form.chosenOutputPath(), bare);
        QCOMPARE(fieldText(form, "Text3"), bare);
        QCOMPARE(form.commonDialog().fileName(), bare);
    }

    // The real dialog, driven through its file name field as a user would.
    void realDialogTakesATypedFileName()
    {
        MainWindow form(folder_.path());
        form.show();
        QTimer::singleShot(0, this, [this] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            QVERIFY(name);
            name->setText(params_);
            QTest::keyClick(name, Qt::Key_Return);
        });
        click(form, "cmdparampath");
        QCOMPARE(form.chosenParamPath(), params_);
        QCOMPARE(fieldText(form, "Text1"), params_);
    }
};

QTEST_MAIN(BrowseTest)
#include "launcher_browse.moc"
