#pragma once

#include <QCursor>
#include <QWidget>

#include <initializer_list>
#include <map>
#include <memory>

class HidDevice;
class HidSystem;
class MessageDisplay;
class OpenDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class TCGauge;
class TForm2;

// True while an upgrade attempt waits for its second search for the product.
extern bool RetryPending;

// The main window: the chosen package with what it was built for, the Upgrade
// button with its gauge, and Exit and About.
class TForm1 : public QWidget {
    Q_OBJECT
public:
    TForm1(MessageDisplay& messages, OpenDialog& openDialog, HidSystem& hid, QWidget* parent = nullptr);
    ~TForm1() override;

    QPushButton* Exit;
    QPushButton* About;
    QGroupBox* GroupBox1;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QLabel* Label5;
    QLineEdit* Edit1;
    QPushButton* Open;
    QPlainTextEdit* Memo;
    QGroupBox* GroupBox2;
    TCGauge* bar;
    QPushButton* Upgrade;
    OpenDialog& OpenDialog1;
    QTimer* Timer1;

    MessageDisplay& Messages;
    HidSystem& Hid;
    TForm2* AboutWindow = nullptr;  // shown by About; owned by the program entry

    void FormCreate();
    void ExitClick();
    void AboutClick();
    void OpenClick();
    void UpgradeClick();
    void Timer1Timer();
    // Opens the first attached product with the package's IDs into `handle`;
    // returns its index, or the number of HID interfaces seen when none matches.
    int Try_Upgrade(std::unique_ptr<HidDevice>& handle);

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void FormPaint();
    void SetCursors(std::initializer_list<QWidget*> widgets, bool busy);
    void EndAttempt();

    std::map<QWidget*, QCursor> normalCursors_;  // controls that come with a cursor of their own
    bool transferring_ = false;
    bool accessDenied_ = false;  // the last search found the product but may not open it
    bool quitAfterAttempt_ = false;
};
