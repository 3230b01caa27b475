// Letting the setup dialog repaint and take input between two long steps of its own thread.
#pragma once

class CSetupDialogView;

// Handles every message already queued for the thread, offering each to the dialog's keyboard
// handling first; returns as soon as the queue is empty, never waiting. A quit message is handled
// like any other.
void PumpMessages(CSetupDialogView& dialog);
