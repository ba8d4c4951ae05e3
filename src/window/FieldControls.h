// The form's controls for what the program knows by id or key: each
// metadata field's text control and the label of each Properties and
// Loudness row of the report. The one place that pairs them with the outlets
// of SoundFile.ui, so a control can be renamed without the command line or
// the document noticing.
//
// Main thread.
#pragma once

#include "filelogic/MetadataField.h"

class QLabel;
class QString;
class QWidget;
namespace Ui {
class SoundFile;
}

// The field's QLineEdit, or QPlainTextEdit for the coding history and the
// iXML note; the iXML circled flag's QCheckBox and, for the track names,
// the iXML track table (both handled by IxmlTab, not as texts).
QWidget *fieldControl(const Ui::SoundFile &ui, MetadataField field);

// The label showing the report row with this key (ReportField::key);
// null for a key the window shows no label for.
QLabel *reportLabel(const Ui::SoundFile &ui, const QString &key);
