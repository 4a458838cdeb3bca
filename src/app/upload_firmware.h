#pragma once

class HidDevice;
class TForm1;

// Sends the package named in the window's open dialog to the open product,
// showing progress on the window's gauge and the outcome in a message box.
void UploadFirmware(TForm1& Form, HidDevice& device);
