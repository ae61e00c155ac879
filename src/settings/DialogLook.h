#pragma once

class QWidget;

// The common frame of the two small settings dialogs: the window font, a fixed client size with
// only the close button in the title bar, centred on the screen.
void ApplySettingsDialogLook(QWidget *dialog, int clientWidth, int clientHeight);
