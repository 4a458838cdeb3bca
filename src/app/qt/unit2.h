#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

// The About window: the logo, the product name, its version and the rights
// notice. Created hidden at start, shown by the main window's About button and
// hidden again by OK or its close button; never destroyed before the end.
class TForm2 : public QWidget {
    Q_OBJECT
public:
    // `screenDpi` of 0 asks the screen; the window scales with it.
    explicit TForm2(double screenDpi = 0, QWidget* parent = nullptr);

    QPushButton* Button1;
    QLabel* StaticText1;
    QLabel* StaticText2;
    QLabel* StaticText3;

    void Button1Click();

    // How much positions and sizes grow on this screen (1 at 96 dots per inch).
    double Scale() const { return scale_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void FormPaint();
    double scale_ = 1.0;
};
