#include "app/quorvella_upgrade_utility.h"

#include "app/ansi_text.h"
#include "app/enter_key.h"
#include "app/handler_errors.h"
#include "app/logo_image.h"
#include "app/tcgauge.h"
#include "app/unit2.h"
#include "app/upload_firmware.h"
#include "app/window_font.h"
#include "device/device_discovery.h"
#include "package/package_header.h"
#include "package/package_ids.h"
#include "platform/exclusive_file.h"
#include "platform/open_dialog.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

bool RetryPending = false;

namespace {

constexpr int kStartDelayMs = 1;
constexpr int kRetryDelayMs = 2000;

QLabel* MakeLabel(QWidget* parent, const char* text, const char* tip, int left, int top) {
    auto* label = new QLabel(QString::fromLatin1(text), parent);
    if (tip)
        label->setToolTip(QString::fromLatin1(tip));
    label->move(left, top);
    label->adjustSize();  // labels size themselves to their text
    return label;
}

QPushButton* MakeButton(QWidget* parent, const char* text, const char* tip, QRect where) {
    auto* button = new QPushButton(QString::fromLatin1(text), parent);
    button->setToolTip(QString::fromLatin1(tip));
    button->setGeometry(where);
    button->setAutoDefault(false);  // Enter is handled by the window (see keyPressEvent)
    return button;
}

void ShowCaption(QLabel* label, const QString& caption) {
    label->setText(caption);
    label->adjustSize();
}

}  // namespace

TForm1::TForm1(MessageDisplay& messages, OpenDialog& openDialog, HidSystem& hid, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      OpenDialog1(openDialog), Messages(messages), Hid(hid) {
    setWindowTitle(ApplicationTitle);
    setFont(WindowFont());
    setFixedSize(528, 424);
    setAutoFillBackground(true);

    Exit = MakeButton(this, "Exit", "Exit Quorvella USB Upgrade Utility", {16, 384, 75, 25});
    About = MakeButton(this, "About", "About Quorvella USB Upgrade Utility", {432, 384, 74, 25});

    GroupBox1 = new QGroupBox(QStringLiteral("Firmware File "), this);
    GroupBox1->setGeometry(16, 64, 489, 233);
    Label1 = MakeLabel(GroupBox1, "File Name:", nullptr, 24, 29);
    Label2 = MakeLabel(GroupBox1, "Product Name:", "Product name this QEFF file was build for", 24, 56);
    Label3 = MakeLabel(GroupBox1, "Product Code:", "Product code this QEFF file was build for", 24, 80);
    Label4 = MakeLabel(GroupBox1, "Firmware Code:", "QEFF file code", 24, 104);
    Label5 = MakeLabel(GroupBox1, "Notes:", nullptr, 24, 128);
    Edit1 = new QLineEdit(GroupBox1);
    Edit1->setGeometry(80, 25, 353, 20);
    Edit1->setToolTip(QStringLiteral("QEFF file with firmware to upgrade"));
    Edit1->setEnabled(false);  // it only shows the chosen file's name
    Open = MakeButton(GroupBox1, "...", "Chose QEFF file", {440, 24, 25, 22});
    Memo = new QPlainTextEdit(GroupBox1);
    Memo->setGeometry(24, 144, 441, 73);
    Memo->setToolTip(QStringLiteral("QEFF file important notes"));
    Memo->setReadOnly(true);
    Memo->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    Memo->setFocusPolicy(Qt::StrongFocus);
    Memo->setTabChangesFocus(true);
    Memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    GroupBox2 = new QGroupBox(QStringLiteral("Upgrade "), this);
    GroupBox2->setGeometry(16, 304, 489, 65);
    bar = new TCGauge(GroupBox2);
    bar->setGeometry(24, 24, 313, 25);
    bar->setToolTip(QStringLiteral("Upgrade progress bar"));
    Upgrade = MakeButton(GroupBox2, "Upgrade", "Press to upgrade firmware in your product", {366, 24, 99, 25});

    Timer1 = new QTimer(this);

    for (QWidget* w : std::initializer_list<QWidget*>{this, GroupBox1, GroupBox2, Upgrade, Edit1, Memo, Open, About})
        if (w->testAttribute(Qt::WA_SetCursor) && w->cursor().shape() != Qt::ArrowCursor)
            normalCursors_.emplace(w, w->cursor());

    // Tab order: Exit, About, then the first group's controls, then the second's.
    QWidget::setTabOrder(Exit, About);
    QWidget::setTabOrder(About, Edit1);
    QWidget::setTabOrder(Edit1, Open);
    QWidget::setTabOrder(Open, Memo);
    QWidget::setTabOrder(Memo, Upgrade);
    Exit->setFocus();  // the first control in tab order has the focus at start

    const auto on = [this](auto handler) { return Guarded(Messages, [this, handler] { (this->*handler)(); }); };
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

void TForm1::FormCreate() { Upgrade->setEnabled(false); }

void TForm1::ExitClick() { close(); }

void TForm1::AboutClick() {
    if (!AboutWindow)
        return;
    AboutWindow->show();
    AboutWindow->raise();
    AboutWindow->activateWindow();
}

void TForm1::OpenClick() {
    Upgrade->setEnabled(false);
    OpenDialog1.InitialDir = QStringLiteral(".");
    OpenDialog1.Filter = QStringLiteral("Quorvella files (*.qeff)");
    // Confirmed or cancelled, the dialog's current name is used: a cancel after
    // an earlier choice loads that file again.
    OpenDialog1.Execute();
    Edit1->setText(OpenDialog1.FileName);
    if (Edit1->text().isEmpty())
        return;

    const std::unique_ptr<PackageFile> file = OpenFileExclusive(QFile::encodeName(OpenDialog1.FileName).toStdString());
    if (!file) {
        Messages.Show("Can't open file!", "File Error", MessageStyle::Plain);
        Memo->clear();
        Edit1->clear();
        return;
    }
    const auto header = AcceptHeader(*file);
    if (!header) {
        Messages.Show("Wrong file format!", "File Error", MessageStyle::Plain);
        Edit1->clear();
        return;
    }
    PackageVendorId = header->VendorId;
    PackageProductId = header->ProductId;
    ShowCaption(Label2, QStringLiteral("Product Name: ") + FromAnsi(header->ProductName));
    ShowCaption(Label3, QStringLiteral("Product Code:  ") + FromAnsi(header->ProductCode));
    ShowCaption(Label4, QStringLiteral("Firmware Code: ") + FromAnsi(header->FirmwareCode));
    Memo->setPlainText(SplitLines(FromAnsi(header->Notes)).join(u'\n'));
    Upgrade->setEnabled(true);
}

void TForm1::SetCursors(std::initializer_list<QWidget*> widgets, bool busy) {
    for (QWidget* w : widgets) {
        if (busy) {
            w->setCursor(Qt::WaitCursor);
            continue;
        }
        // Back to the control's own default: an arrow, or the text beam of the edit field.
        const auto own = normalCursors_.find(w);
        if (own != normalCursors_.end())
            w->setCursor(own->second);
        else
            w->unsetCursor();
    }
}

void TForm1::UpgradeClick() {
    Open->setEnabled(false);
    Exit->setEnabled(false);
    SetCursors({GroupBox1, GroupBox2, this, Upgrade, Edit1, Memo, Open, About}, true);
    Upgrade->setEnabled(false);
    Memo->setEnabled(false);
    // Let the window show its busy state before the search begins.
    Timer1->setInterval(kStartDelayMs);
    Timer1->start();
}

int TForm1::Try_Upgrade(std::unique_ptr<HidDevice>& handle) {
    return FindProduct(Hid, PackageVendorId, PackageProductId, handle, &accessDenied_);
}

void TForm1::EndAttempt() {
    Open->setEnabled(true);
    Exit->setEnabled(true);
    Upgrade->setEnabled(true);
    RetryPending = false;
    SetCursors({Upgrade, GroupBox1, GroupBox2, this, Edit1, Memo, Open, About}, false);
    Memo->setEnabled(true);
}

void TForm1::Timer1Timer() {
    Timer1->stop();  // a one-shot: the next step, if any, sets it again

    // However this step ends, even by an error, a finished attempt leaves the
    // device closed and the window usable.
    bool attemptOver = true;
    struct Cleanup {
        TForm1& form;
        bool& over;
        ~Cleanup() {
            form.transferring_ = false;
            DeviceHandle.reset();
            if (!over)
                return;
            form.EndAttempt();
            if (form.quitAfterAttempt_)
                form.close();
        }
    } cleanup{*this, attemptOver};

    const int interfaces = Try_Upgrade(DeviceHandle);
    if (DeviceHandle) {
        transferring_ = true;
        UploadFirmware(*this, *DeviceHandle);
    } else if (RetryPending) {
        if (accessDenied_)
            Messages.Show("Device found, but access to it was denied.\nAllow access to the device (see README) and try again.",
                          "Warning", MessageStyle::Exclamation);
        else if (interfaces != 0)
            Messages.Show("Device not recognized, vendor ID or product ID incorrect", "Warning",
                          MessageStyle::Exclamation);
        else
            Messages.Show("Device not recognized.\nReconnect the device to USB port.", "Warning",
                          MessageStyle::Information);
    } else {
        // The product may still be arriving: look once more in two seconds.
        RetryPending = true;
        Timer1->setInterval(kRetryDelayMs);
        Timer1->start();
        attemptOver = false;
    }
}

void TForm1::FormPaint() { DrawLogo(*this, QPoint(20, 10)); }

void TForm1::paintEvent(QPaintEvent*) { FormPaint(); }

void TForm1::keyPressEvent(QKeyEvent* event) {
    const bool escape = event->key() == Qt::Key_Escape &&
                        (event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier)) == 0;
    if (escape && Exit->isEnabled() && focusWidget() != Memo) {
        Exit->click();
        return;
    }
    if (!PressFocusedButton(*this, *event))
        QWidget::keyPressEvent(event);
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (transferring_) {
        // A transfer is not cut off: the utility quits when the attempt has ended.
        quitAfterAttempt_ = true;
        event->ignore();
        return;
    }
    if (Timer1->isActive()) {
        // Waiting to search: the attempt simply ends.
        Timer1->stop();
        EndAttempt();
    }
    event->accept();
    QCoreApplication::quit();
}
