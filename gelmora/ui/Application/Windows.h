#pragma once
// The application's main window, and the window that alerts without a given window go to.
#include <QWidget>

namespace gelmora::ui {

// The main window (none until the delegate sets it); held weakly.
QWidget* mainWindow();
void setMainWindow(QWidget* window);
// The window that has the focus now, else the main window when it is shown, else none.
QWidget* keyWindow();

}  // namespace gelmora::ui
