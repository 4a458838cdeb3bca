// The least a Qt program can show, as a yardstick for the utility's start-up:
// a window of the main window's size, bare, or with one label in the
// toolkit's default font ("label"), the least text a window can show.

#include "app/main_window_layout.h"

#include <QApplication>
#include <QLabel>
#include <QWidget>

#include <cstring>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QWidget window;
    window.setFixedSize(MainClientWidth, MainClientHeight);
    if (argc > 1 && std::strcmp(argv[1], "label") == 0) {
        auto* label = new QLabel(QStringLiteral("File Name:"), &window);
        label->move(16, 80);
        label->adjustSize();
    }
    window.show();
    return application.exec();
}
