// Accessible names for the controls of a window, made from their object
// names, so a screen reader announces "Bytes per second" or "Play position"
// instead of nothing or a bare value.
//
// Main thread (widgets).
#pragma once

#include <QString>

class QWidget;

// The readable name for a control's object name: camel case split into
// words, the group prefix (label, string, bext, ixml, convert, peak, play) dropped
// where the rest still says what the control is, acronyms kept
// ("labelBytesPerSecond" -> "Bytes per second", "bextUMID" -> "UMID").
// A few names read better from a table ("playSlider" -> "Play position").
// Empty for an empty name.
QString accessibleNameForObjectName(const QString &objectName);

// Gives every descendant widget of root that has an object name, and no
// accessible name yet, the name above. Qt's own parts ("qt_*" and "_q_*"
// names) are left alone. Widgets whose name uic made up for an unnamed form
// element ("label12") are named by their visible text instead, as Qt would.
// root itself is not changed: a window is announced by its title.
void applyAccessibleNames(QWidget *root);
