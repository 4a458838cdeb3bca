// Runs the GUI tests headless, inside one application object as the program has.

#include "app/qt/utility_application.h"
#include "support/gui_test_app.h"

#include <gtest/gtest.h>

RecordingMessages& ApplicationMessages() {
    static RecordingMessages messages;
    return messages;
}

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
    ::testing::InitGoogleTest(&argc, argv);
    UtilityApplication application(argc, argv, ApplicationMessages());
    return RUN_ALL_TESTS();
}
