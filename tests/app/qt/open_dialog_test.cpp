#include "support/package_files.h"
#include "app/qt/qt_open_dialog.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>

namespace {

// Drives the toolkit's real dialog while Execute() waits in it.
class RealOpenDialog : public ::testing::Test {
protected:
    TempFolder folder;
    QString previous = QDir::currentPath();
    QtOpenDialog dialog;

    void SetUp() override {
        for (const char* name : {"lower.qeff", "UPPER.QEFF", "Mixed.QeFf", "other.txt", "qeff"})
            WriteBytes(folder / name, {1});
        ASSERT_TRUE(QDir::setCurrent(Folder()));
        dialog.InitialDir = ".";
        dialog.Filter = "Quorvella files (*.qeff)";
    }
    void TearDown() override { QDir::setCurrent(previous); }
    QString Folder() const { return QString::fromStdString(folder.Path().string()); }

    // Runs Execute() and hands the open dialog to `act`, which must close it.
    bool Execute(std::function<void(QFileDialog&)> act) {
        bool reached = false;
        QTimer::singleShot(0, [&] {
            QFileDialog* open = nullptr;
            (void)QTest::qWaitFor([&] {
                open = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
                return open != nullptr;
            }, 3000);
            if (!open)
                return;
            reached = true;
            act(*open);
        });
        const bool confirmed = dialog.Execute();
        EXPECT_TRUE(reached) << "the dialog came up";
        return confirmed;
    }

    static QStringList Shown(QFileDialog& open) {
        auto* view = open.findChild<QAbstractItemView*>(QStringLiteral("listView"));
        QStringList names;
        if (!view)
            return names;
        (void)QTest::qWaitFor([&] { return view->model()->rowCount(view->rootIndex()) > 0; }, 3000);
        QTest::qWait(50);
        for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row)
            names << view->model()->index(row, 0, view->rootIndex()).data().toString();
        names.sort(Qt::CaseInsensitive);
        return names;
    }
};

TEST_F(RealOpenDialog, StartsHereAndOffersOnlyPackagesInAnyLetterCase) {
    QStringList filters, shown;
    QString directory;
    const bool confirmed = Execute([&](QFileDialog& open) {
        filters = open.nameFilters();
        directory = open.directory().absolutePath();
        shown = Shown(open);
        open.reject();
    });
    EXPECT_FALSE(confirmed);
    EXPECT_EQ(filters, QStringList{"Quorvella files (*.qeff)"});
    EXPECT_EQ(QDir(directory), QDir(Folder()));
    EXPECT_EQ(shown, (QStringList{"lower.qeff", "Mixed.QeFf", "UPPER.QEFF"}));
    EXPECT_TRUE(dialog.FileName.empty()) << "a cancel leaves the name as it was";
}

TEST_F(RealOpenDialog, AcceptsANameThatDoesNotExistAndRemembersIt) {
    QDir::setCurrent(previous);
    dialog.InitialDir = Folder().toStdString();
    const bool confirmed = Execute([](QFileDialog& open) {
        open.selectFile(QStringLiteral("typed-later.qeff"));
        static_cast<QDialog&>(open).accept();  // what the Open button does
    });
    EXPECT_TRUE(confirmed);
    EXPECT_EQ(QDir::cleanPath(QString::fromStdString(dialog.FileName)), QDir(Folder()).filePath("typed-later.qeff"));
    EXPECT_EQ(QDir(QDir::currentPath()), QDir(Folder())) << "confirming moves the current directory there";

    // Next time the dialog starts with that name, folder included.
    QString preset, presetDir;
    Execute([&](QFileDialog& open) {
        presetDir = open.directory().absolutePath();
        preset = open.selectedFiles().value(0);
        open.reject();
    });
    EXPECT_EQ(QDir(presetDir), QDir(Folder()));
    EXPECT_EQ(QFileInfo(preset).fileName(), "typed-later.qeff");
    EXPECT_EQ(QDir::cleanPath(QString::fromStdString(dialog.FileName)), QDir(Folder()).filePath("typed-later.qeff"));
}

}  // namespace
