#include "app/quorvella_upgrade_utility.h"
#include "gui_fixtures.h"
#include "held_file.h"
#include "package/package_ids.h"
#include "package_files.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>

#include <gtest/gtest.h>


namespace {

const ShownMessage kCantOpen{"Can't open file!", "File Error", MessageStyle::Plain};
const ShownMessage kWrongFormat{"Wrong file format!", "File Error", MessageStyle::Plain};

class OpenClick : public ::testing::Test, public MainWindowFixture {
protected:
    TempFolder folder;

    QString Package(const std::string& name, const PackageContents& c) {
        const auto path = folder / name;
        WriteBytes(path, BuildPackage(c));
        return QString::fromStdString(path.string());
    }
    QString File(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        const auto path = folder / name;
        WriteBytes(path, bytes);
        return QString::fromStdString(path.string());
    }
    QStringList MemoLines() const { return form.Memo->toPlainText().split(u'\n'); }
};

TEST_F(OpenClick, AnAcceptedPackageIsShownAndEnablesUpgrade) {
    PackageContents c = SamplePackage();
    c.vendorId = 0xABCD;
    c.productId = 0x0123;
    const QString path = Package("hub.qeff", c);
    dialog.Confirm(path);
    form.Open->click();

    ASSERT_EQ(dialog.seen.size(), 1u);
    EXPECT_EQ(dialog.seen[0].initialDir, ".");
    EXPECT_EQ(dialog.seen[0].filter, "Quorvella files (*.qeff)");
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(form.Edit1->text(), path);
    EXPECT_EQ(form.Label2->text(), "Product Name: Quorvella Sensor Hub");
    EXPECT_EQ(form.Label3->text(), "Product Code:  QSH-200");
    EXPECT_EQ(form.Label4->text(), "Firmware Code: FW-2.4.1");
    EXPECT_EQ(form.Label2->size(), form.Label2->sizeHint());
    EXPECT_EQ(MemoLines(), (QStringList{"Read before upgrading.", "Keep the product plugged in."}));
    EXPECT_TRUE(form.Upgrade->isEnabled());
    EXPECT_EQ(PackageVendorId, 0xABCD);
    EXPECT_EQ(PackageProductId, 0x0123);
}

TEST_F(OpenClick, NotesBreakAtCrLfAndCrLf) {
    PackageContents c = SamplePackage();
    c.notes = "one\rtwo\nthree\r\nfour\n\nsix\r\n";
    dialog.Confirm(Package("notes.qeff", c));
    form.Open->click();
    EXPECT_EQ(MemoLines(), (QStringList{"one", "two", "three", "four", "", "six"}));
}

TEST_F(OpenClick, ManyNoteLinesScroll) {
    PackageContents c = SamplePackage();
    c.notes.clear();
    for (int i = 0; i < 40; ++i)
        c.notes += "Line " + std::to_string(i) + "\r\n";
    dialog.Confirm(Package("long.qeff", c));
    form.Open->click();
    EXPECT_EQ(MemoLines().size(), 40);
    EXPECT_GT(form.Memo->verticalScrollBar()->maximum(), 0);
}

TEST_F(OpenClick, EmptyTextsShowThePrefixesAlone) {
    PackageContents c = SamplePackage();
    c.productName.clear();
    c.productCode.clear();
    c.firmwareCode.clear();
    c.notes.clear();
    dialog.Confirm(Package("bare.qeff", c));
    form.Open->click();
    EXPECT_EQ(form.Label2->text(), "Product Name: ");
    EXPECT_EQ(form.Label3->text(), "Product Code:  ");
    EXPECT_EQ(form.Label4->text(), "Firmware Code: ");
    EXPECT_EQ(form.Memo->toPlainText(), "");
    EXPECT_TRUE(form.Upgrade->isEnabled());
}

TEST_F(OpenClick, AnsiTextsAreDecodedForDisplay) {
    PackageContents c = SamplePackage();
    c.productName = "Caf\xE9 \x80";  // é and the euro sign in code page 1252
    dialog.Confirm(Package("ansi.qeff", c));
    form.Open->click();
    EXPECT_EQ(form.Label2->text(), QString::fromUtf8("Product Name: Caf\u00E9 \u20AC"));
}

TEST_F(OpenClick, CancellingBeforeAnyChoiceDoesNothing) {
    dialog.Cancel();
    form.Open->click();
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(form.Edit1->text(), "");
    EXPECT_FALSE(form.Upgrade->isEnabled());
    EXPECT_EQ(form.Label2->text(), "Product Name:");
}

TEST_F(OpenClick, CancellingAfterAChoiceLoadsThatFileAgain) {
    const QString first = Package("first.qeff", SamplePackage());
    dialog.Confirm(first);
    form.Open->click();

    PackageContents changed = SamplePackage();
    changed.productName = "Changed On Disk";
    Package("first.qeff", changed);
    dialog.Cancel();
    form.Open->click();

    ASSERT_EQ(dialog.seen.size(), 2u);
    EXPECT_EQ(dialog.seen[1].fileName, first) << "the dialog starts with the last confirmed name";
    EXPECT_EQ(form.Edit1->text(), first);
    EXPECT_EQ(form.Label2->text(), "Product Name: Changed On Disk");
    EXPECT_TRUE(form.Upgrade->isEnabled());
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(OpenClick, ARejectedFileKeepsWhatTheLastPackageShowed) {
    PackageContents c = SamplePackage();
    c.vendorId = 0x1111;
    dialog.Confirm(Package("good.qeff", c));
    form.Open->click();

    auto bytes = BuildPackage(SamplePackage());
    bytes[11] = '!';  // twelfth signature byte not zero
    dialog.Confirm(File("bad.qeff", bytes));
    form.Open->click();

    EXPECT_EQ(messages.shown, std::vector<ShownMessage>{kWrongFormat});
    EXPECT_EQ(form.Edit1->text(), "");
    EXPECT_FALSE(form.Upgrade->isEnabled());
    EXPECT_EQ(form.Label2->text(), "Product Name: Quorvella Sensor Hub");
    EXPECT_EQ(form.Memo->toPlainText(), "Read before upgrading.\nKeep the product plugged in.");
    EXPECT_EQ(PackageVendorId, 0x1111);

    dialog.Confirm(File("tiny.qeff", std::vector<std::uint8_t>(4410, 0)));
    form.Open->click();
    EXPECT_EQ(messages.shown.back(), kWrongFormat);
}

TEST_F(OpenClick, AFileThatCannotBeOpenedClearsTheNameAndNotes) {
    dialog.Confirm(Package("good.qeff", SamplePackage()));
    form.Open->click();

    dialog.Confirm(QString::fromStdString((folder / "typed-but-absent.qeff").string()));
    form.Open->click();
    EXPECT_EQ(messages.shown, std::vector<ShownMessage>{kCantOpen});
    EXPECT_EQ(form.Edit1->text(), "");
    EXPECT_EQ(form.Memo->toPlainText(), "");
    EXPECT_FALSE(form.Upgrade->isEnabled());
    EXPECT_EQ(form.Label2->text(), "Product Name: Quorvella Sensor Hub") << "labels keep the last package";
}

TEST_F(OpenClick, APackageHeldByAnotherProgramCannotBeOpened) {
    const QString path = Package("held.qeff", SamplePackage());
    {
        HeldFile other(path.toStdString());
        ASSERT_TRUE(other.Held());
        dialog.Confirm(path);
        form.Open->click();
    }
    EXPECT_EQ(messages.shown, std::vector<ShownMessage>{kCantOpen});
    EXPECT_FALSE(form.Upgrade->isEnabled());
}

TEST_F(OpenClick, ThePackageIsNotHeldOnceShown) {
    const QString path = Package("free.qeff", SamplePackage());
    dialog.Confirm(path);
    form.Open->click();
    ASSERT_TRUE(form.Upgrade->isEnabled());
    EXPECT_TRUE(FreeToHold(path.toStdString())) << "the file was closed when the handler ended";
}

}  // namespace
