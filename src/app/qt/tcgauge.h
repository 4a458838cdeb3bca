#pragma once

#include "app/gauge_value.h"

#include <QColor>
#include <QWidget>

// A horizontal progress gauge: black one-pixel border, white background, the
// filled part in the desktop colour, and the percentage centred over it with
// every text pixel the inverse of what lies beneath, so it reads on both parts.
// Screen readers see a progress bar with its value.
class TCGauge : public QWidget {
    Q_OBJECT
public:
    static inline const QColor DesktopColour{0x3A, 0x6E, 0xA5};

    explicit TCGauge(QWidget* parent = nullptr);

    int Progress() const { return value_.Get(); }
    // Clamps to 0..100 and repaints at once, but only when the shown value changes.
    void SetProgress(int value);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    GaugeValue value_;
};
