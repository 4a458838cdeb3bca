#pragma once

#include "app/qt/quorvella_upgrade_utility.h"
#include "support/recording_messages.h"
#include "support/scripted_open_dialog.h"
#include "simulated/simulated_hid.h"

// A main window with recorded messages, a scripted dialog and simulated HID.
struct MainWindowFixture {
    RecordingMessages messages;
    ScriptedOpenDialog dialog;
    SimulatedHid hid;
    TForm1 form{messages, dialog, hid};

    MainWindowFixture();
    ~MainWindowFixture();
    void ShowAndActivate();
};
