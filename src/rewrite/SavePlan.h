// The one way a save is planned: "these fields now hold these texts" (and,
// for a conversion, the conversion's settings) becomes the job to write, the
// engine that writes it and the new file it is written into. The document's
// saves and conversions and the command line's batches all plan here, so
// the same edit keeps the same bytes whoever asks for it.
//
//   SavePlan plan = rewrite::planSave(request);   // checks, engine, job
//   if (plan.ok() && plan.prepare(&why))          // the new file, beside the target
//       result = plan.run(progress);              // on any one thread
//
// Threads: planSave reads the file's structure and is reentrant. A SavePlan
// is used by one thread at a time: the document prepares it on the GUI
// thread and runs it on its save job's worker; a batch does both on one of
// its threads. Nothing here touches a document or a widget.
#pragma once

#include "filelogic/FileMetadata.h"
#include "rewrite/FileRewriter.h"
#include "rewrite/MetadataSave.h"
#include "rewrite/ReplacementFile.h"
#include "rewrite/SaveEngine.h"

#include <sndfile.h>

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace rewrite {

// What a conversion writes instead of the file's own format.
struct ConversionSettings {
    int format = 0;            // the new file's complete format word
    std::vector<int> channels; // source channels kept, ascending (all of them: every one)
    bool keepBext = false;     // the broadcast record goes along (where the format holds one)
};

// How the UMID field's text reads: as the window shows the identifier (its
// bytes up to the first zero), or in hexadecimal as the command line takes it.
enum class UmidText { Shown, Hex };

struct SaveRequest {
    QString sourcePath;  // the file as read, absolute
    SF_INFO sourceInfo{};
    FileMetadata read;   // its metadata as read
    MetadataTexts texts; // what the fields hold now
    UmidText umid = UmidText::Shown;
    // Some text was edited: without an edit, a save in the file's own format
    // is a byte copy.
    bool edited = false;
    QString targetPath;  // absolute; the source itself (by any name) saves in place
    std::optional<ConversionSettings> conversion;
    // How the target is replaced; `expected` counts only for a save in
    // place (the file as it was read).
    ReplaceOptions replace{};
};

class SavePlan
{
public:
    bool ok() const { return error.isEmpty(); }

    // Creates the new file beside another file's target, so a target that
    // cannot be written fails before any work starts; false with *why. A
    // save of the source itself makes its new file only in run(), once the
    // edit is known not to fit in place. With deferFolderFlush the commit
    // leaves the folder unflushed (see ReplacementFile::setFolderFlushDeferred).
    bool prepare(QString *why, bool deferFolderFlush = false);
    // Writes in place or into the new file, checks and replaces (see
    // runSave). progress(percent) is called on this thread as the engines
    // call it; returning false cancels. Opens the source through a handle of
    // its own (only libsndfile's rewrite reads one), which must still hold
    // the stream that was read.
    RewriteResult run(const std::function<bool(double)> &progress);
    // The new file and the target it replaces, as run() left them (whether
    // another program changed the target, who owns the result); null before
    // prepare() or run().
    const ReplacementFile *replacement() const { return m_temp.get(); }

    // Why nothing can be written (a loudness text that is no number); empty
    // when the plan holds.
    QString error;
    // The target is the source file, whatever name it was given by.
    bool inPlace = false;
    RewriteJob job;
    SaveEngine engine;
    // What the engine leaves behind of the file (its other chunks, when
    // their structure could not be read) and of the texts (what the
    // format cannot store).
    QStringList fileLoses;
    QStringList textsLost;

private:
    std::unique_ptr<ReplacementFile> m_temp;
};

SavePlan planSave(const SaveRequest &request);

} // namespace rewrite
