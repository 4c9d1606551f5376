#pragma once

#include "settings/Options.h"

class QWidget;

// Shows the options dialog modally over mainWindow; on OK copies the fields into settings
// and returns true, otherwise leaves settings untouched.
bool ShowOptionsDialog(TOptions &settings, QWidget *mainWindow);
