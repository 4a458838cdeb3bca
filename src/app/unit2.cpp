#include "app/unit2.h"

#include "app/enter_key.h"
#include "app/handler_errors.h"
#include "app/logo_image.h"
#include "app/window_font.h"

#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include <cmath>

namespace {

// The design's text height: 13 pixels for the window font at 11 pixels.
int TextHeight(const QFont& font) { return QFontMetrics(font).height(); }

}  // namespace

TForm2::TForm2(double screenDpi, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setWindowTitle(ApplicationTitle);
    if (screenDpi <= 0)
        screenDpi = screen() ? screen()->logicalDotsPerInch() : DesignedDpi;

    // The font grows with the screen's resolution; the layout then grows by how
    // much taller the text became.
    const QFont designed = WindowFont();
    const QFont scaled = WindowFont(static_cast<int>(std::lround(11.0 * screenDpi / DesignedDpi)));
    scale_ = static_cast<double>(TextHeight(scaled)) / TextHeight(designed);
    setFont(scaled);
    const auto px = [this](int v) { return static_cast<int>(std::lround(v * scale_)); };
    const auto place = [&](QWidget* w, int l, int t, int wd, int h) { w->setGeometry(px(l), px(t), px(wd), px(h)); };

    Button1 = new QPushButton(QStringLiteral("OK"), this);
    place(Button1, 120, 200, 73, 25);
    StaticText1 = new QLabel(QStringLiteral("Quorvella USB Upgrade Utility"), this);
    place(StaticText1, 80, 112, 146, 17);
    StaticText2 = new QLabel(QStringLiteral("Version 1.10"), this);
    place(StaticText2, 80, 128, 63, 17);
    StaticText3 = new QLabel(QStringLiteral("(c) 2026 Quorvella Ltd."), this);
    place(StaticText3, 80, 160, 158, 17);
    for (QLabel* text : {StaticText1, StaticText2, StaticText3})
        text->setFocusPolicy(Qt::NoFocus);

    // Button1 is neither default nor cancel: it has the focus, so Enter or Space
    // presses it, and Escape does nothing.
    Button1->setAutoDefault(false);
    Button1->setDefault(false);
    Button1->setFocus();
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });

    setFixedSize(px(312), px(244));
    move(478, 294);  // the screen position does not scale
    setAutoFillBackground(true);
}

void TForm2::Button1Click() { hide(); }

void TForm2::FormPaint() { DrawLogo(*this, QPoint(20, 20)); }

void TForm2::paintEvent(QPaintEvent*) { FormPaint(); }

void TForm2::keyPressEvent(QKeyEvent* event) {
    if (!PressFocusedButton(*this, *event))
        QWidget::keyPressEvent(event);
}
