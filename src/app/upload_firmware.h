#pragma once

class HidDevice;
class MainWindow;

// Sends the package named in the window's open dialog to the open product,
// showing progress on the window's gauge and the outcome in a message box.
void UploadFirmware(MainWindow& Form, HidDevice& device);
