#include "mainwindow/PanelFactory.h"

#include "panels/tk1.h"
#include "panels/tk2.h"
#include "panels/zr.h"

PanelChoice createPanelFor(DevicePid pid)
{
    switch (pid) {
    case 1:
        return {new tk1(), QStringLiteral("Adding tk1 widget to layout.")};
    case 2:
        return {new tk2(), QStringLiteral("Adding tk2 widget to layout.")};
    case 15:
        return {new zr(), QStringLiteral("Adding zr widget to layout.")};
    default:
        return {};
    }
}
