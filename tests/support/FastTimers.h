#pragma once
// Faster main-window timers, so that a test waits less for their ticks.
class MainWindow;

// Runs the main window's detection and watch, and the settling wait of the resume
// re-apply it holds, at `factor` times their speed; the counts and the order of events
// stay the same. Call it once the window's ResumeReapply, if any, is made.
void speedUp(MainWindow& window, int factor);
