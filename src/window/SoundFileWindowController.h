// The application's delegate: decides what happens at start-up.
#pragma once

#include <QObject>
#include <QStringList>

class SoundFileWindowController : public QObject
{
    Q_OBJECT

public:
    // Registers the document window with the document controller.
    explicit SoundFileWindowController(QObject *parent = nullptr);

    // There is never an untitled document: a sound file is only ever opened.
    bool applicationShouldOpenUntitledFile(QObject *sender) const;

    // Opens the files named on the command line; with none (or none that
    // opened) offers a file dialog, and quits when that is cancelled.
    void applicationDidFinishLaunching(const QStringList &files);
};
