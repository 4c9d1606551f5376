#pragma once

// Qt names a combo box on Linux by its current text, so a screen reader hears the value twice
// and never what the box is for ("STARTTLS when offered" rather than "Security"). Once this
// is installed, every combo box is named like any other field: by its accessible name, else
// by its buddy label; its text is its value. Installing it again does nothing.
void InstallAccessibleComboBoxes();
