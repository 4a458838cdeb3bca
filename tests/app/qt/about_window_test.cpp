#include "app/qt/logo_image.h"
#include "app/qt/quorvella_upgrade_utility.h"
#include "app/qt/unit2.h"
#include "support/gui_fixtures.h"
#include "support/package_files.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

namespace {

TEST(AboutWindow, LaidOutAsDesigned) {
    TForm2 about(96);
    EXPECT_EQ(about.windowTitle(), "Quorvella USB Upgrade Utility");
    EXPECT_EQ(about.minimumSize(), QSize(312, 244));
    EXPECT_EQ(about.maximumSize(), QSize(312, 244));
    EXPECT_EQ(about.pos(), QPoint(478, 294));
    const Qt::WindowFlags flags = about.windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_FALSE(about.isVisible()) << "created hidden";

    EXPECT_EQ(about.Button1->text(), "OK");
    EXPECT_EQ(about.Button1->geometry(), QRect(120, 200, 73, 25));
    EXPECT_FALSE(about.Button1->isDefault());
    struct Row {
        QLabel* label;
        QRect where;
        const char* text;
    };
    for (const Row& row : {Row{about.StaticText1, {80, 112, 146, 17}, "Quorvella USB Upgrade Utility"},
                           Row{about.StaticText2, {80, 128, 63, 17}, "Version 1.10"},
                           Row{about.StaticText3, {80, 160, 158, 17}, nullptr}}) {
        EXPECT_EQ(row.label->geometry(), row.where);
        if (row.text) {
            EXPECT_EQ(row.label->text(), row.text);
        }
        EXPECT_EQ(row.label->focusPolicy(), Qt::NoFocus);
        // Nothing may be clipped in the fixed boxes.
        EXPECT_LE(row.label->fontMetrics().horizontalAdvance(row.label->text()), row.where.width())
            << row.label->text().toStdString();
        EXPECT_LE(row.label->fontMetrics().height(), row.where.height());
    }
    EXPECT_FALSE(about.StaticText3->text().isEmpty());
}

TEST(AboutWindow, GrowsWithTheScreenResolutionButNotItsPlace) {
    TForm2 normal(96);
    EXPECT_DOUBLE_EQ(normal.Scale(), 1.0);
    TForm2 large(144);
    const double s = large.Scale();
    EXPECT_GT(s, 1.1);
    EXPECT_GT(large.font().pixelSize(), 11);
    const auto px = [s](int v) { return static_cast<int>(std::lround(v * s)); };
    EXPECT_EQ(large.Button1->geometry(), QRect(px(120), px(200), px(73), px(25)));
    EXPECT_EQ(large.StaticText1->geometry(), QRect(px(80), px(112), px(146), px(17)));
    EXPECT_EQ(large.minimumSize(), QSize(px(312), px(244)));
    EXPECT_EQ(large.pos(), QPoint(478, 294));
}

class AboutFromMainWindow : public ::testing::Test, public MainWindowFixture {
protected:
    TForm2 about{96};
    void SetUp() override {
        form.AboutWindow = &about;
        ShowAndActivate();
    }
};

TEST_F(AboutFromMainWindow, AboutShowsTheOneWindowAndOkHidesIt) {
    form.About->click();
    EXPECT_TRUE(about.isVisible());
    EXPECT_TRUE(form.isEnabled()) << "not modal: the main window stays usable";
    form.About->click();
    EXPECT_TRUE(about.isVisible());
    EXPECT_EQ(QApplication::topLevelWidgets().count(&about), 1);

    about.Button1->click();
    EXPECT_FALSE(about.isVisible());
    form.About->click();
    EXPECT_TRUE(about.isVisible());
    EXPECT_EQ(about.StaticText2->text(), "Version 1.10");

    about.close();  // the title bar's close button
    EXPECT_FALSE(about.isVisible());
    EXPECT_FALSE(about.testAttribute(Qt::WA_DeleteOnClose));
}

TEST_F(AboutFromMainWindow, EnterAndSpacePressOkEscapeDoesNothing) {
    form.About->click();
    QApplication::setActiveWindow(&about);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&about, 2000));
    ASSERT_EQ(about.focusWidget(), about.Button1);

    QTest::keyClick(about.Button1, Qt::Key_Escape);
    EXPECT_TRUE(about.isVisible());

    QTest::keyClick(about.Button1, Qt::Key_Return);
    EXPECT_FALSE(about.isVisible());

    form.About->click();
    QTest::keyClick(about.Button1, Qt::Key_Space);
    EXPECT_FALSE(about.isVisible());
}

// The logo is read from the current directory when the main window is built.
class Logo : public ::testing::Test {
protected:
    TempFolder folder;
    QString previous = QDir::currentPath();
    void TearDown() override { QDir::setCurrent(previous); }

    static QRgb At(QWidget& w, QPoint p) { return w.grab().toImage().pixel(p); }
};

TEST_F(Logo, DrawnAtItsOwnSizeInBothWindows) {
    QImage logo(30, 12, QImage::Format_RGB32);
    logo.fill(qRgb(200, 10, 20));
    logo.setPixel(29, 11, qRgb(10, 200, 20));  // the far corner tells the size
    ASSERT_TRUE(logo.save(QString::fromStdString((folder / "LogoQuorvella.png").string()), "PNG"));
    ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(folder.Path().string())));

    MainWindowFixture main;
    main.form.show();
    QDir::setCurrent(previous);  // moving away later changes nothing: it was loaded once
    EXPECT_EQ(LogoImage.size(), QSize(30, 12));
    EXPECT_EQ(At(main.form, {20, 10}), qRgb(200, 10, 20));
    EXPECT_EQ(At(main.form, {49, 21}), qRgb(10, 200, 20));
    EXPECT_NE(At(main.form, {50, 22}), qRgb(200, 10, 20)) << "drawn at its own size, not stretched";

    TForm2 about(96);
    about.show();
    EXPECT_EQ(At(about, {20, 20}), qRgb(200, 10, 20));
    EXPECT_EQ(At(about, {49, 31}), qRgb(10, 200, 20));
    EXPECT_TRUE(main.messages.shown.empty());
}

TEST_F(Logo, MissingOrBrokenLogoShowsNothingAndSaysNothing) {
    // Beside the missing file, a picture whose name only begins with the
    // logo's: a reader that tries other extensions would show it.
    QImage other(30, 12, QImage::Format_RGB32);
    other.fill(qRgb(200, 10, 20));
    ASSERT_TRUE(other.save(QString::fromStdString((folder / "LogoQuorvella.png.png").string()), "PNG"));
    for (bool broken : {false, true}) {
        if (broken)
            WriteBytes(folder / "LogoQuorvella.png", {0x89, 'P', 'N', 'G', 1, 2, 3});
        ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(folder.Path().string())));
        MainWindowFixture main;
        main.form.show();
        EXPECT_TRUE(LogoImage.isNull());
        EXPECT_EQ(At(main.form, {20, 10}), main.form.palette().color(QPalette::Window).rgb());
        EXPECT_TRUE(main.messages.shown.empty());
        TForm2 about(96);
        about.show();
        EXPECT_EQ(At(about, {20, 20}), about.palette().color(QPalette::Window).rgb());
    }
}

}  // namespace
