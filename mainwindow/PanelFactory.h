#pragma once
// The one place where a product id becomes a panel.
#include "driver/DriverTypes.h"

#include <QString>

class QWidget;

struct PanelChoice
{
    QWidget* panel = nullptr; // null for an id without a panel
    QString logLine;          // "Adding tk1 widget to layout." and so on
};

// Builds the panel of a known model (1 tk1, 2 tk2, 15 zr); the panel configures the
// device from its saved controls before this returns.
PanelChoice createPanelFor(DevicePid pid);
