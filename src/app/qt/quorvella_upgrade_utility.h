#pragma once

#include "app/main_window.h"

#include <QCursor>
#include <QWidget>
#ifdef Q_OS_LINUX
#include "app/qt/shutdown_inhibitor.h"
#endif

#include <map>
#include <memory>

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

// The main window on Qt: the controls at their places, each event handed to the
// shared behaviour, and what the behaviour asks shown on the widgets.
class TForm1 : public QWidget, private MainWindowView {
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
    QTimer* Timer1;
    MainWindow Behaviour;
    OpenDialog& OpenDialog1;
    MessageDisplay& Messages;
    TForm2* AboutWindow = nullptr;  // shown by About; owned by the program entry

    void FormCreate() { Behaviour.FormCreate(); }
    void ExitClick() { Behaviour.ExitClick(); }
    void AboutClick() { Behaviour.AboutClick(); }
    void OpenClick() { Behaviour.OpenClick(); }
    void UpgradeClick() { Behaviour.UpgradeClick(); }
    void Timer1Timer() { Behaviour.Timer1Timer(); }

    QWidget* WidgetOf(Control control) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void FormPaint();
    Control FocusedControl() const;
    void ShowPointerNow();

    // MainWindowView
    void SetEnabled(Control control, bool enabled) override;
    bool IsEnabled(Control control) const override;
    void SetCaption(Control control, const std::string& text) override;
    void SetMemoLines(const std::vector<std::string>& lines) override;
    void SetCursor(Control control, CursorShape cursor) override;
    void SetGauge(int percent) override;
    void StartTimer(int ms) override;
    void StopTimer() override;
    void ProcessPendingEvents() override;
    void Press(Control button) override;
    void ShowAbout() override;
    void Close() override { close(); }
    void HoldOffShutdown(bool hold) override;

    std::map<Control, QWidget*> widgets_;
    std::map<QWidget*, QCursor> ownCursors_;  // controls that come with a cursor of their own
#ifdef Q_OS_LINUX
    ShutdownInhibitor inhibitor_;  // logind's lock, held while firmware is written
#endif
};
