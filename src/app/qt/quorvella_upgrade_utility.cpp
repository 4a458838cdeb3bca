#include "app/qt/quorvella_upgrade_utility.h"

#include "app/handler_errors.h"
#include "app/main_window_layout.h"
#include "app/qt/logo_image.h"
#include "app/qt/tcgauge.h"
#include "app/qt/unit2.h"
#include "app/qt/window_font.h"
#include "app/qt/key_event.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWindow>

namespace {

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

}  // namespace

TForm1::TForm1(MessageDisplay& messages, OpenDialog& openDialog, HidSystem& hid, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      Behaviour(*this, messages, openDialog, hid), OpenDialog1(openDialog), Messages(messages) {
    setWindowTitle(ApplicationTitle);
    setFont(WindowFont());
    setFixedSize(MainClientWidth, MainClientHeight);
    setAutoFillBackground(true);
    widgets_[Control::Form1] = this;

    for (const ControlRow& row : MainWindowControls) {
        QWidget* parentWidget = widgets_.at(row.parent);
        QWidget* w = nullptr;
        switch (row.kind) {
        case ControlKind::PushButton: {
            auto* button = new QPushButton(Text(row.text), parentWidget);
            button->setAutoDefault(false);  // Enter is the window's (see keyPressEvent)
            w = button;
            break;
        }
        case ControlKind::GroupBox: w = new QGroupBox(Text(row.text), parentWidget); break;
        case ControlKind::Label: w = new QLabel(Text(row.text), parentWidget); break;
        case ControlKind::SingleLineEdit: w = new QLineEdit(parentWidget); break;
        case ControlKind::MultiLineEdit: {
            auto* memo = new QPlainTextEdit(parentWidget);
            memo->setReadOnly(true);
            memo->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
            memo->setFocusPolicy(Qt::StrongFocus);
            memo->setTabChangesFocus(true);
            memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
            memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            w = memo;
            break;
        }
        case ControlKind::Gauge: w = new TCGauge(parentWidget); break;
        }
        if (row.place.width > 0)
            w->setGeometry(row.place.left, row.place.top, row.place.width, row.place.height);
        else {
            w->move(row.place.left, row.place.top);
            w->adjustSize();  // labels size themselves to their text
        }
        if (row.tooltip)
            w->setToolTip(Text(row.tooltip));
        w->setEnabled(row.enabled);
        widgets_[row.control] = w;
    }
    const auto as = [this]<class T>(Control c, T*& member) { member = static_cast<T*>(widgets_.at(c)); };
    as(Control::Exit, Exit);
    as(Control::About, About);
    as(Control::GroupBox1, GroupBox1);
    as(Control::Label1, Label1);
    as(Control::Label2, Label2);
    as(Control::Label3, Label3);
    as(Control::Label4, Label4);
    as(Control::Label5, Label5);
    as(Control::Edit1, Edit1);
    as(Control::Open, Open);
    as(Control::Memo, Memo);
    as(Control::GroupBox2, GroupBox2);
    as(Control::bar, bar);
    as(Control::Upgrade, Upgrade);

    Timer1 = new QTimer(this);
    Timer1->setSingleShot(true);
    Timer1->setTimerType(Qt::PreciseTimer);  // the second search comes after two seconds, not before

    for (QWidget* w : {static_cast<QWidget*>(Memo), Memo->viewport(), static_cast<QWidget*>(Edit1)})
        if (w->testAttribute(Qt::WA_SetCursor))
            ownCursors_.emplace(w, w->cursor());

    for (std::size_t i = 0; i + 1 < MainWindowTabOrder.size(); ++i)
        QWidget::setTabOrder(WidgetOf(MainWindowTabOrder[i]), WidgetOf(MainWindowTabOrder[i + 1]));
    Exit->setFocus();  // the first control in tab order has the focus at start

    const auto on = [this](void (TForm1::*handler)()) {
        return Guarded(Messages, [this, handler] { (this->*handler)(); });
    };
    connect(Exit, &QPushButton::clicked, this, on(&TForm1::ExitClick));
    connect(About, &QPushButton::clicked, this, on(&TForm1::AboutClick));
    connect(Open, &QPushButton::clicked, this, on(&TForm1::OpenClick));
    connect(Upgrade, &QPushButton::clicked, this, on(&TForm1::UpgradeClick));
    connect(Timer1, &QTimer::timeout, this, on(&TForm1::Timer1Timer));

    LoadLogoImage();
    FormCreate();

    // Centred on the desktop when first shown.
    if (const QScreen* desktop = screen())
        move(desktop->availableGeometry().center() - rect().center());
}

TForm1::~TForm1() = default;

QWidget* TForm1::WidgetOf(Control control) const { return widgets_.at(control); }

Control TForm1::FocusedControl() const {
    const QWidget* focused = focusWidget();
    if (focused == Memo->viewport())
        focused = Memo;
    for (const auto& [control, widget] : widgets_)
        if (widget == focused)
            return control;
    return Control::Form1;
}

void TForm1::SetEnabled(Control control, bool enabled) {
    WidgetOf(control)->setEnabled(enabled);
    ShowPointerNow();  // Qt clears the window's cursor when the control under the pointer is disabled
}

bool TForm1::IsEnabled(Control control) const { return WidgetOf(control)->isEnabled(); }

void TForm1::SetCaption(Control control, const std::string& text) {
    const QString shown = QString::fromStdString(text);
    if (control == Control::Edit1) {
        Edit1->setText(shown);
        return;
    }
    auto* label = static_cast<QLabel*>(WidgetOf(control));
    label->setText(shown);
    label->adjustSize();
}

void TForm1::SetMemoLines(const std::vector<std::string>& lines) {
    QStringList shown;
    for (const std::string& line : lines)
        shown << QString::fromStdString(line);
    Memo->setPlainText(shown.join(u'\n'));
}

void TForm1::SetCursor(Control control, CursorShape cursor) {
    QWidget* w = WidgetOf(control);
    // The notes' text area is a child of its own: it takes the cursor too.
    std::vector<QWidget*> targets{w};
    if (control == Control::Memo)
        targets.push_back(Memo->viewport());
    for (QWidget* target : targets) {
        if (cursor == CursorShape::Wait) {
            target->setCursor(Qt::WaitCursor);
            continue;
        }
        const auto own = ownCursors_.find(target);
        if (own != ownCursors_.end())
            target->setCursor(own->second);
        else
            target->unsetCursor();
    }
    ShowPointerNow();
}

void TForm1::ShowPointerNow() {
    // Qt shows a widget's new cursor only once the pointer moves, and when the
    // control under the pointer is disabled it clears the window's cursor
    // altogether, so the screen shows the display's default. Show at once what
    // the pointer shows once it moves: the cursor of the control under it, or,
    // when that control is disabled, of its nearest enabled parent (as
    // Windows does for a disabled control).
    QWindow* handle = windowHandle();
    if (!handle)
        return;
    QWidget* under = QApplication::widgetAt(QCursor::pos());
    if (!under || under->window() != this)
        return;
    while (!under->isEnabled() && !under->isWindow())
        under = under->parentWidget();
    handle->setCursor(under->cursor());
}

void TForm1::SetGauge(int percent) { bar->SetProgress(percent); }

void TForm1::StartTimer(int ms) {
    Timer1->setInterval(ms);
    Timer1->start();
}

void TForm1::StopTimer() { Timer1->stop(); }

void TForm1::ProcessPendingEvents() { QCoreApplication::processEvents(); }

void TForm1::Press(Control button) { static_cast<QPushButton*>(WidgetOf(button))->click(); }

void TForm1::ShowAbout() {
    if (!AboutWindow)
        return;
    AboutWindow->show();
    AboutWindow->raise();
    AboutWindow->activateWindow();
}

void TForm1::HoldOffShutdown(bool hold) {
#ifdef Q_OS_LINUX
    if (hold)
        inhibitor_.Take();
    else
        inhibitor_.Release();
#else
    (void)hold;  // no lock to ask for on this system
#endif
}

void TForm1::FormPaint() { DrawLogo(*this, QPoint(20, 10)); }

void TForm1::paintEvent(QPaintEvent*) { FormPaint(); }

void TForm1::keyPressEvent(QKeyEvent* event) {
    if (!Behaviour.KeyDown(KeyOf(*event), ModifiersOf(*event), FocusedControl()))
        QWidget::keyPressEvent(event);
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (!Behaviour.CloseQuery()) {
        event->ignore();
        return;
    }
    event->accept();
    QCoreApplication::quit();
}
