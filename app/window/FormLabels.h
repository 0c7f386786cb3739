#pragma once

class QWidget;

// Tool tips and accessible names of the main window's controls, each with
// its unit where it has one ("Video bit rate, kbit/s"). Tool tips the form
// already carries stay as they are; the control then gets only a name.
namespace FormLabels {

// The controls are found under window by their object names.
void apply(QWidget *window);

} // namespace FormLabels
