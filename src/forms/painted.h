#pragma once
// Shows a modeless window and paints it before returning, for a caller about
// to block the thread: the window must show its own pixels from the start,
// not what lay beneath it.
class QWidget;

void ShowPainted(QWidget *w);
