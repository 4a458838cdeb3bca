#pragma once

#include "app/gauge_colours.h"
#include "app/gauge_value.h"

#include <array>

#include <QColor>
#include <QFont>
#include <QImage>
#include <QWidget>

// A horizontal progress gauge: black one-pixel border, white background, the
// filled part in the desktop colour, and the percentage centred over it with
// every text pixel the inverse of what lies beneath, so it reads on both parts.
// Screen readers see a progress bar with its value.
class TCGauge : public QWidget {
    Q_OBJECT
public:
    static inline const QColor DesktopColour{QRgb(GaugeBarRgb)};

    explicit TCGauge(QWidget* parent = nullptr);

    int Progress() const { return value_.Get(); }
    // Clamps to 0..100 and repaints at once, but only when the shown value changes.
    void SetProgress(int value);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void PrepareGlyphs();
    QRect Inner() const;                // inside the border
    int FillEnd(int progress) const;    // where the bar ends for a value
    QRect TextArea() const;             // where any value's text may lie
    // Writes the gauge's pixels within `area` (its own coordinates) into a
    // 32-bit opaque `target`, `area` moved by `at` there.
    void Render(QImage& target, const QRect& area, QPoint at) const;
    bool DrawStraightToWindow(const std::array<QRect, 2>& changed);

    static constexpr std::array<char, 11> kGlyphs{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '%'};

    GaugeValue value_;
    QImage canvas_;                          // what a paint event draws from
    std::array<QImage, kGlyphs.size()> glyphs_;  // white on black, for the font below
    QFont glyphsFont_;
    int textHeight_ = 0;
    int widestText_ = 0;
};
