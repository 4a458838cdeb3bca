#include "app/qt/unit2.h"

#include "app/about_window_layout.h"
#include "app/main_window.h"
#include "app/qt/key_event.h"
#include "app/qt/logo_image.h"
#include "app/qt/window_font.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

TForm2::TForm2(double screenDpi, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setWindowTitle(ApplicationTitle);
    if (screenDpi <= 0)
        screenDpi = screen() ? screen()->logicalDotsPerInch() : DesignedDpi;

    // The font grows with the screen's resolution; the layout then grows by how
    // much taller the text became.
    const QFont scaled = WindowFont(AboutFontPixels(screenDpi));
    scale_ = static_cast<double>(QFontMetrics(scaled).height()) / QFontMetrics(WindowFont()).height();
    setFont(scaled);

    QWidget* made[AboutWindowControls.size()] = {};
    for (std::size_t i = 0; i < AboutWindowControls.size(); ++i) {
        const AboutRow& row = AboutWindowControls[i];
        const QString text = QString::fromUtf8(row.text);
        QWidget* w = row.isButton ? static_cast<QWidget*>(new QPushButton(text, this)) : new QLabel(text, this);
        w->setGeometry(Scaled(row.place.left, scale_), Scaled(row.place.top, scale_),
                       Scaled(row.place.width, scale_), Scaled(row.place.height, scale_));
        if (!row.isButton)
            w->setFocusPolicy(Qt::NoFocus);  // static texts take no focus
        made[i] = w;
    }
    Button1 = static_cast<QPushButton*>(made[0]);
    StaticText1 = static_cast<QLabel*>(made[1]);
    StaticText2 = static_cast<QLabel*>(made[2]);
    StaticText3 = static_cast<QLabel*>(made[3]);

    // Button1 is neither default nor cancel: it has the focus, so Enter or Space
    // presses it, and Escape does nothing.
    Button1->setAutoDefault(false);
    Button1->setDefault(false);
    Button1->setFocus();
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });

    setFixedSize(Scaled(AboutClientWidth, scale_), Scaled(AboutClientHeight, scale_));
    move(AboutLeft, AboutTop);  // the screen position does not scale
    setAutoFillBackground(true);
}

void TForm2::Button1Click() { hide(); }

void TForm2::FormPaint() { DrawLogo(*this, QPoint(20, 20)); }

void TForm2::paintEvent(QPaintEvent*) { FormPaint(); }

void TForm2::keyPressEvent(QKeyEvent* event) {
    auto* button = qobject_cast<QPushButton*>(focusWidget());
    if (KeyOf(*event) == Key::Enter && PressesFocusedButton(Key::Enter, ModifiersOf(*event)) && button &&
        button->isEnabled()) {
        button->click();
        return;
    }
    QWidget::keyPressEvent(event);  // Space presses the focused button by itself
}
