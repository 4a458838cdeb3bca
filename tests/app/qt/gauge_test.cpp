#include "app/qt/tcgauge.h"
#include "app/qt/window_font.h"

#include <QApplication>
#include <QBackingStore>
#include <QImage>
#include <QPainter>
#include <QScreen>
#include <QTest>

#include <gtest/gtest.h>

#include <set>

namespace {

// What the screen shows of the gauge: the window system's copy, which a step
// that draws too little would leave stale (grab() would draw it all anew).
QImage OnScreen(const QWidget& g) {
    const QPoint at = g.mapTo(g.window(), QPoint());
    return g.screen()
        ->grabWindow(g.window()->winId(), at.x(), at.y(), g.width(), g.height())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
}

QRgb Inverse(QColor c) { return qRgb(255 - c.red(), 255 - c.green(), 255 - c.blue()); }

class Gauge : public ::testing::Test {
protected:
    TCGauge gauge;

    void SetUp() override {
        gauge.setFont(WindowFont());
        gauge.resize(313, 25);
        gauge.show();
        (void)QTest::qWaitForWindowExposed(&gauge);
    }

    QImage Picture() { return gauge.grab().toImage().convertToFormat(QImage::Format_RGB32); }

    // Leaves something else where the gauge is on screen, as a stale picture would.
    void Smear() {
        QBackingStore* store = gauge.backingStore();
        store->beginPaint(gauge.rect());
        QPainter(store->paintDevice()).fillRect(gauge.rect(), kSmear);
        store->endPaint();
    }
    bool CentreIsSmeared() { return OnScreen(gauge).pixel(gauge.rect().center()) == kSmear; }
    static constexpr QRgb kSmear = 0xff00ff00u;
};

TEST_F(Gauge, ValuesAreClampedToPercent) {
    gauge.SetProgress(-5);
    EXPECT_EQ(gauge.Progress(), 0);
    gauge.SetProgress(250);
    EXPECT_EQ(gauge.Progress(), 100);
    gauge.SetProgress(42);
    EXPECT_EQ(gauge.Progress(), 42);
}

TEST_F(Gauge, RepaintsAtOnceAndOnlyWhenTheShownValueChanges) {
    QApplication::processEvents();
    Smear();
    gauge.SetProgress(10);
    EXPECT_FALSE(CentreIsSmeared()) << "on screen before SetProgress returned";
    Smear();
    gauge.SetProgress(10);
    EXPECT_TRUE(CentreIsSmeared());
    gauge.SetProgress(100);
    Smear();
    gauge.SetProgress(180);  // clamps to the 100 already shown
    EXPECT_TRUE(CentreIsSmeared());
    gauge.SetProgress(-1);
    EXPECT_FALSE(CentreIsSmeared());
}

TEST_F(Gauge, DrawsBorderBackgroundFillAndInvertedText) {
    gauge.SetProgress(50);
    const QImage img = Picture();
    const QRgb black = qRgb(0, 0, 0), white = qRgb(255, 255, 255);
    const QRgb fill = TCGauge::DesktopColour.rgb();

    for (int x = 0; x < img.width(); ++x) {
        EXPECT_EQ(img.pixel(x, 0), black);
        EXPECT_EQ(img.pixel(x, img.height() - 1), black);
    }
    for (int y = 0; y < img.height(); ++y) {
        EXPECT_EQ(img.pixel(0, y), black);
        EXPECT_EQ(img.pixel(img.width() - 1, y), black);
    }
    // Away from the centred text: filled on the left, white on the right.
    EXPECT_EQ(img.pixel(10, 12), fill);
    EXPECT_EQ(img.pixel(300, 12), white);
    EXPECT_EQ(img.pixel(1, 1), fill);
    EXPECT_EQ(img.pixel(311, 23), white);

    // The text straddles the edge of the fill: its pixels are the inverse of
    // both, and no other colour appears anywhere.
    int invertedFill = 0, invertedWhite = 0;
    const int inner = img.width() - 2;
    const int fillEnd = 1 + inner * 50 / 100;
    for (int y = 1; y < img.height() - 1; ++y)
        for (int x = 1; x < img.width() - 1; ++x) {
            const QRgb p = img.pixel(x, y);
            if (x < fillEnd) {
                EXPECT_TRUE(p == fill || p == Inverse(TCGauge::DesktopColour)) << x << "," << y;
                invertedFill += p == Inverse(TCGauge::DesktopColour);
            } else {
                EXPECT_TRUE(p == white || p == black) << x << "," << y;
                invertedWhite += p == black;
            }
        }
    EXPECT_GT(invertedFill, 10) << "text over the filled part";
    EXPECT_GT(invertedWhite, 10) << "text over the empty part";
}

TEST_F(Gauge, TheTextIsCentredAndGrowsWithTheNumber) {
    const auto textColumns = [this] {
        const QImage img = Picture();
        std::set<int> columns;
        for (int y = 1; y < img.height() - 1; ++y)
            for (int x = 1; x < img.width() - 1; ++x)
                if (img.pixel(x, y) == qRgb(0, 0, 0))
                    columns.insert(x);
        return columns;
    };
    gauge.SetProgress(1);
    gauge.SetProgress(0);
    const auto zero = textColumns();  // "0%" on white: black text
    ASSERT_FALSE(zero.empty());
    const int middle = (*zero.begin() + *zero.rbegin()) / 2;
    EXPECT_NEAR(middle, gauge.width() / 2, 3);

    gauge.SetProgress(100);
    const QImage full = Picture();
    int textPixels = 0;
    for (int y = 1; y < full.height() - 1; ++y)
        for (int x = 1; x < full.width() - 1; ++x)
            textPixels += full.pixel(x, y) == Inverse(TCGauge::DesktopColour);
    EXPECT_GT(textPixels, 0) << "\"100%\" reads over a full bar";
    EXPECT_EQ(full.pixel(310, 22), TCGauge::DesktopColour.rgb()) << "the bar fills to the right border";
}

TEST_F(Gauge, StepByStepItLooksAsIfDrawnWhole) {
    TCGauge whole;
    whole.setFont(WindowFont());
    whole.resize(gauge.size());
    whole.show();
    // Stepped on its own, and inside a window as the main window holds it.
    QWidget window;
    window.resize(400, 90);
    TCGauge inWindow(&window);
    inWindow.setFont(WindowFont());
    inWindow.setGeometry(24, 40, gauge.width(), gauge.height());
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&whole));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    for (int value : {1, 2, 9, 10, 11, 37, 99, 100, 0}) {
        // Up to each value one point at a time, as a transfer moves it; back to 0 at once.
        for (TCGauge* stepped : {&gauge, &inWindow}) {
            for (int v = stepped->Progress() + 1; value != 0 && v <= value; ++v)
                stepped->SetProgress(v);
            if (value == 0)
                stepped->SetProgress(0);
        }
        whole.SetProgress(value);
        whole.repaint();
        EXPECT_EQ(OnScreen(gauge), OnScreen(whole)) << value;
        EXPECT_EQ(OnScreen(inWindow), OnScreen(whole)) << value;
    }
}

}  // namespace
