#pragma once

class QObject;
class QWidget;

// The object name of the window's panel that holds the repository columns.
inline constexpr char buttonPanelName[] = "buttonPanel";

// The panel is found again through the object tree, below the manager's parent (the window).
// Null when the manager has no parent or the parent holds no such panel.
QWidget *findButtonPanel(const QObject *manager);
