// --convert: the Convert tab's conversion from the command line. The same
// job, engines and metadata as the tab writes for the same choices; what it
// would not carry over, and what the new format cannot store, is named on
// standard error.
//
// Main thread; no display needed.
#pragma once

#include <QString>

#include <optional>
#include <vector>

class QTextStream;

struct ConvertRequest {
    QString source;
    QString target;
    // "MAJOR[:SUBTYPE]": the pop-ups' names ("WAV (Microsoft):Signed 24 bit
    // PCM") or libsndfile's ("WAV:PCM_24"), in any case. Without a subtype
    // the major's first writable one, as the tab picks it.
    QString format;
    // "0,2,..." counted from 0; not set keeps every channel (an empty list
    // names none and is refused).
    std::optional<QString> channels;
    bool keepBext = false;
    // An existing target that is not a sound file of the chosen major
    // format is replaced all the same.
    bool force = false;
    // A target with other names may get a file of its own.
    bool splitLinks = false;
};

// The complete format word for a name the major can write; 0 and *error
// when there is none.
int convertFormatNamed(const QString &name, QString *error);

// The source channels a list names, ascending and each once; empty and
// *error when the list is not numbers below `channels`.
std::vector<int> convertChannelsNamed(const QString &list, int channels, QString *error);

// Runs the conversion; Ctrl+C cancels it with nothing written. A target
// that is the source itself (by any name or link) is refused, and so is an
// existing one that is not a sound file of the chosen format unless
// request.force. Returns 0, 1 on failure (said on err), 2 for a format or
// channel list that makes no sense, 130 (143, 129) when interrupted.
int runConvert(const ConvertRequest &request, QTextStream &out, QTextStream &err);
