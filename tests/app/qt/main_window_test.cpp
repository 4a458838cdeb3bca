#include "app/handler_errors.h"
#include "app/qt/quorvella_upgrade_utility.h"
#include "app/qt/tcgauge.h"
#include "app/qt/unit2.h"
#include "support/gui_fixtures.h"
#include "support/gui_test_app.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

class MainWindow : public ::testing::Test, public MainWindowFixture {};

struct ControlRow {
    QWidget* widget;
    QWidget* parent;
    QRect geometry;
    QString text;
    QString tooltip;
    bool enabled;
};

QString TextOf(QWidget* w) {
    if (auto* b = qobject_cast<QPushButton*>(w))
        return b->text();
    if (auto* g = qobject_cast<QGroupBox*>(w))
        return g->title();
    if (auto* e = qobject_cast<QLineEdit*>(w))
        return e->text();
    if (auto* m = qobject_cast<QPlainTextEdit*>(w))
        return m->toPlainText();
    if (auto* l = qobject_cast<QLabel*>(w))
        return l->text();
    return {};
}

TEST_F(MainWindow, EveryControlStandsWhereItBelongs) {
    TForm1& f = form;
    const std::vector<ControlRow> rows = {
        {f.Exit, &f, {16, 384, 75, 25}, "Exit", "Exit Quorvella USB Upgrade Utility", true},
        {f.About, &f, {432, 384, 74, 25}, "About", "About Quorvella USB Upgrade Utility", true},
        {f.GroupBox1, &f, {16, 64, 489, 233}, "Firmware File ", "", true},
        {f.Edit1, f.GroupBox1, {80, 25, 353, 20}, "", "QEFF file with firmware to upgrade", false},
        {f.Open, f.GroupBox1, {440, 24, 25, 22}, "...", "Chose QEFF file", true},
        {f.Memo, f.GroupBox1, {24, 144, 441, 73}, "", "QEFF file important notes", true},
        {f.GroupBox2, &f, {16, 304, 489, 65}, "Upgrade ", "", true},
        {f.bar, f.GroupBox2, {24, 24, 313, 25}, "", "Upgrade progress bar", true},
        {f.Upgrade, f.GroupBox2, {366, 24, 99, 25}, "Upgrade", "Press to upgrade firmware in your product", false},
    };
    for (const ControlRow& row : rows) {
        SCOPED_TRACE(row.widget->metaObject()->className() + (" " + row.text.toStdString()));
        EXPECT_EQ(row.widget->parentWidget(), row.parent);
        EXPECT_EQ(row.widget->geometry(), row.geometry);
        EXPECT_EQ(TextOf(row.widget), row.text);
        EXPECT_EQ(row.widget->toolTip(), row.tooltip);
        EXPECT_EQ(row.widget->isEnabled(), row.enabled);
    }

    struct LabelRow {
        QLabel* label;
        QPoint where;
        QString text, tooltip;
    };
    const std::vector<LabelRow> labels = {
        {f.Label1, {24, 29}, "File Name:", ""},
        {f.Label2, {24, 56}, "Product Name:", "Product name this QEFF file was build for"},
        {f.Label3, {24, 80}, "Product Code:", "Product code this QEFF file was build for"},
        {f.Label4, {24, 104}, "Firmware Code:", "QEFF file code"},
        {f.Label5, {24, 128}, "Notes:", ""},
    };
    for (const LabelRow& row : labels) {
        EXPECT_EQ(row.label->parentWidget(), f.GroupBox1);
        EXPECT_EQ(row.label->pos(), row.where);
        EXPECT_EQ(row.label->text(), row.text);
        EXPECT_EQ(row.label->toolTip(), row.tooltip);
        EXPECT_EQ(row.label->size(), row.label->sizeHint()) << "labels size themselves to their text";
    }

    EXPECT_EQ(f.bar->Progress(), 0);
    EXPECT_FALSE(f.Timer1->isActive());
    EXPECT_TRUE(f.Memo->isReadOnly());
    EXPECT_EQ(f.Memo->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    EXPECT_EQ(f.Memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(f.Memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
}

TEST_F(MainWindow, TheWindowIsFixedAndUnscaled) {
    EXPECT_EQ(form.windowTitle(), "Quorvella USB Upgrade Utility");
    EXPECT_EQ(QApplication::applicationName(), "Quorvella USB Upgrade Utility");
    EXPECT_EQ(form.minimumSize(), QSize(528, 424));
    EXPECT_EQ(form.maximumSize(), QSize(528, 424));
    const Qt::WindowFlags flags = form.windowFlags();
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_EQ(form.font().family(), "MS Sans Serif");
    EXPECT_EQ(form.font().pixelSize(), 11);
}

TEST_F(MainWindow, NoFixedTextIsClipped) {
    for (QPushButton* b : form.findChildren<QPushButton*>()) {
        const int needed = b->fontMetrics().horizontalAdvance(b->text());
        EXPECT_LE(needed + 4, b->width()) << b->text().toStdString();
        EXPECT_LE(b->fontMetrics().height(), b->height()) << b->text().toStdString();
    }
    for (QGroupBox* g : form.findChildren<QGroupBox*>())
        EXPECT_LT(g->fontMetrics().horizontalAdvance(g->title()), g->width());
}

TEST_F(MainWindow, KeyboardFocusFollowsTheTabOrder) {
    ShowAndActivate();
    ASSERT_EQ(QApplication::focusWidget(), form.Exit) << "Exit, first in tab order, has the focus";
    form.Upgrade->setEnabled(true);
    std::vector<QWidget*> order;
    for (int i = 0; i < 5; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        order.push_back(QApplication::focusWidget());
    }
    // Edit1 is disabled, so Tab passes over it.
    EXPECT_EQ(order, (std::vector<QWidget*>{form.About, form.Open, form.Memo, form.Upgrade, form.Exit}));
}

TEST_F(MainWindow, EscapeQuitsOnlyWhenExitIsEnabledAndTheNotesAreNotFocused) {
    ShowAndActivate();
    QSignalSpy pressed(form.Exit, &QPushButton::clicked);

    form.Memo->setFocus();
    QTest::keyClick(form.Memo, Qt::Key_Escape);
    EXPECT_EQ(pressed.count(), 0) << "Escape in the notes does nothing";

    form.Open->setFocus();
    form.Exit->setEnabled(false);
    QTest::keyClick(form.Open, Qt::Key_Escape);
    EXPECT_EQ(pressed.count(), 0) << "Exit is disabled during an attempt";
    form.Exit->setEnabled(true);

    QTest::keyClick(form.Open, Qt::Key_Escape, Qt::ShiftModifier);
    QTest::keyClick(form.Open, Qt::Key_Escape, Qt::ControlModifier);
    EXPECT_EQ(pressed.count(), 0) << "Escape with Shift or Ctrl is not Escape";
    EXPECT_TRUE(form.isVisible());

    QTest::keyClick(form.Open, Qt::Key_Escape);
    EXPECT_EQ(pressed.count(), 1);
    EXPECT_FALSE(form.isVisible());
}

TEST_F(MainWindow, EnterPressesTheFocusedButton) {
    ShowAndActivate();
    QSignalSpy exitPressed(form.Exit, &QPushButton::clicked);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_EQ(exitPressed.count(), 1) << "right after start Enter presses Exit";
    EXPECT_FALSE(form.isVisible());
}

TEST_F(MainWindow, ExitEndsTheEventLoop) {
    ShowAndActivate();
    bool gaveUp = false;
    QTimer::singleShot(0, &form, [] { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape); });
    QTimer failsafe;
    failsafe.setSingleShot(true);
    QObject::connect(&failsafe, &QTimer::timeout, [&] {
        gaveUp = true;
        QApplication::quit();
    });
    failsafe.start(5000);
    QApplication::exec();
    EXPECT_FALSE(gaveUp) << "the loop ended by itself";
}

TEST_F(MainWindow, ClosingTheMainWindowEndsTheLoopEvenWithAboutOpen) {
    TForm2 about;
    form.AboutWindow = &about;
    ShowAndActivate();
    form.About->click();
    ASSERT_TRUE(about.isVisible());
    bool gaveUp = false;
    QTimer::singleShot(0, &form, [this] { form.close(); });
    QTimer::singleShot(5000, &form, [&] {
        gaveUp = true;
        QApplication::quit();
    });
    QApplication::exec();
    EXPECT_FALSE(gaveUp);
}

TEST_F(MainWindow, AnErrorInAHandlerIsShownAndTheWindowGoesOn) {
    dialog.during = [] { throw std::runtime_error("Disk not ready"); };
    form.Open->click();
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0],
              (ShownMessage{"Disk not ready.", "Quorvella USB Upgrade Utility", MessageStyle::Error}));

    dialog.during = [] { throw SilentAbort(); };
    form.Open->click();
    EXPECT_EQ(messages.shown.size(), 1u) << "a silent abort shows nothing";

    dialog.during = nullptr;
    form.Open->click();
    EXPECT_EQ(dialog.seen.size(), 3u) << "the handler still runs afterwards";
}

TEST(ErrorBox, APeriodIsAddedOnlyAfterCharactersThatSortAfterIt) {
    EXPECT_EQ(ErrorBoxText("Out of memory"), "Out of memory.");
    EXPECT_EQ(ErrorBoxText("Done."), "Done.");
    EXPECT_EQ(ErrorBoxText("Really!"), "Really!");
    EXPECT_EQ(ErrorBoxText("Error 42"), "Error 42.");  // '2' sorts after '.'
    EXPECT_EQ(ErrorBoxText("a-"), "a-");                // '-' sorts before '.'
    EXPECT_EQ(ErrorBoxText(""), "");
}

// An object whose event handling fails, as a toolkit handler might.
class FailingObject : public QObject {
public:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User)
            throw std::runtime_error("Access violation");
        return QObject::event(e);
    }
};

TEST(ErrorBox, TheApplicationShowsErrorsThatEscapeAnyEvent) {
    ApplicationMessages().shown.clear();
    FailingObject target;
    QEvent event(QEvent::User);
    QApplication::sendEvent(&target, &event);
    ASSERT_EQ(ApplicationMessages().shown.size(), 1u);
    EXPECT_EQ(ApplicationMessages().shown[0],
              (ShownMessage{"Access violation.", "Quorvella USB Upgrade Utility", MessageStyle::Error}));
}

}  // namespace
