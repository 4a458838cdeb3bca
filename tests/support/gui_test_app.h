#pragma once

#include "support/recording_messages.h"

// What the application object itself showed (the error box for escaped errors).
RecordingMessages& ApplicationMessages();
