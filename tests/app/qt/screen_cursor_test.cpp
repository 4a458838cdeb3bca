// The cursor as the screen shows it: the real window on a private X server
// (xcb), pressed with real X input (XTest), and the cursor image the X server
// reports (XFixes), not the widgets' cursor properties.

#include "support/gui_fixtures.h"
#include "support/package_files.h"

#include <QPushButton>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xfixes.h>
#include <X11/keysym.h>
#undef CursorShape  // X's name for a constant, Qt's for an enum

#include <vector>

namespace {

class ScreenCursor : public ::testing::Test, public MainWindowFixture {
protected:
    Display* x = XOpenDisplay(nullptr);
    TempFolder folder;

    void SetUp() override {
        ASSERT_NE(x, nullptr) << "no X server";
        int event = 0, error = 0;
        ASSERT_TRUE(XFixesQueryExtension(x, &event, &error));
        WriteBytes(folder / "p.qeff", BuildPackage(SamplePackage()));
        dialog.Confirm((folder / "p.qeff").string());
        form.Open->click();
        ShowAndActivate();
    }
    void TearDown() override {
        if (x)
            XCloseDisplay(x);
    }

    // The image the X server shows for the pointer now, once the window's
    // pending work has reached it.
    std::vector<unsigned long> Shown() {
        for (int i = 0; i < 5; ++i) {
            QCoreApplication::processEvents();
            QTest::qWait(20);
        }
        XSync(x, False);
        XFixesCursorImage* image = XFixesGetCursorImage(x);
        std::vector<unsigned long> pixels(image->pixels, image->pixels + image->width * image->height);
        XFree(image);
        return pixels;
    }
    // Whether the screen comes to show `cursor` (or, with `shows` false, another
    // one) within a second: the window's requests reach the X server on a
    // connection of their own, which under load the server may read after this
    // test's. The fault shows the wrong cursor for the whole busy time.
    bool Comes(const std::vector<unsigned long>& cursor, bool shows = true) {
        for (int i = 0; i < 10; ++i)
            if ((Shown() == cursor) == shows)
                return true;
        return false;
    }
    void MovePointerTo(QWidget* w) {
        const QPoint at = w->mapToGlobal(w->rect().center());
        XTestFakeMotionEvent(x, -1, at.x(), at.y(), CurrentTime);
        XFlush(x);
    }
    // What the screen shows over a window of this test with the given cursor.
    std::vector<unsigned long> Reference(Qt::CursorShape shape) {
        QWidget probe;
        probe.setCursor(shape);
        probe.setGeometry(600, 500, 100, 100);
        probe.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&probe));
        MovePointerTo(&probe);
        return Shown();
    }
    // Presses Upgrade as a person would, while no product is attached: the
    // window stays busy for the two seconds before its second search.
    void ExpectTheWaitCursorWhile(const std::function<void()>& press) {
        const auto wait = Reference(Qt::WaitCursor);
        ASSERT_NE(wait, Reference(Qt::ArrowCursor));
        press();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !form.Exit->isEnabled(); }, 2000));
        EXPECT_TRUE(Comes(wait)) << "the screen shows another cursor than the wait cursor";
        ASSERT_TRUE(QTest::qWaitFor([&] { return !messages.shown.empty(); }, 5000));
        ASSERT_TRUE(QTest::qWaitFor([&] { return form.Exit->isEnabled(); }, 2000));
        EXPECT_TRUE(Comes(wait, false)) << "the wait cursor outlived the attempt";
    }
};

// Fault caught: Qt clears the window's cursor when the control under the
// pointer is disabled, so with the pointer resting on Upgrade the screen showed
// the display's default cursor instead of the wait cursor until it moved.
TEST_F(ScreenCursor, AMousePressOnUpgradeShowsTheWaitCursorAtOnce) {
    ExpectTheWaitCursorWhile([&] {
        MovePointerTo(form.Upgrade);
        Shown();
        XTestFakeButtonEvent(x, 1, True, CurrentTime);
        XTestFakeButtonEvent(x, 1, False, CurrentTime);
        XFlush(x);
    });
}

TEST_F(ScreenCursor, AKeyPressOnUpgradeShowsTheWaitCursorAtOnce) {
    ExpectTheWaitCursorWhile([&] {
        MovePointerTo(form.Upgrade);
        form.Upgrade->setFocus();
        Shown();
        const KeyCode space = XKeysymToKeycode(x, XK_space);
        XTestFakeKeyEvent(x, space, True, CurrentTime);
        XTestFakeKeyEvent(x, space, False, CurrentTime);
        XFlush(x);
    });
}

}  // namespace
