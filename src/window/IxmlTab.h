// The iXML tab of the document window, for the containers that keep an
// iXML chunk (after the BEXT tab). The window's field code fills and hands
// back the plain text fields (project, scene, take, tape, note) as it does
// the strings; this fills the rest: the circled box, the track table, what
// is only shown (speed, file UID, user bits), what --check finds, and for a
// chunk that must be kept as it is, its text, with every field read-only.
//
// Main thread.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class QWidget;
class SoundFile;
class TrackTableModel;
namespace Ui {
class SoundFile;
}

class IxmlTab : public QObject
{
    Q_OBJECT

public:
    IxmlTab(Ui::SoundFile &ui, SoundFile *document, QObject *parent);

    // Shows or hides the tab for the document's container and fills it;
    // after the window's own fill, whose read-only marks it may tighten.
    void fill();
    TrackTableModel *trackModel() const { return m_tracks; }

signals:
    // A track was renamed: every list of channels names it anew.
    void trackNamesEdited();

private:
    void circledToggled(bool checked);

    Ui::SoundFile &m_ui;
    QPointer<SoundFile> m_document;
    QWidget *m_page;
    TrackTableModel *m_tracks;
    QString m_circledAsRead;
    bool m_filling = false;
};
