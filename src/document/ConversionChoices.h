// The Convert tab's choices for one document: the container, its encodings,
// the channels kept and whether the broadcast record goes along; and the
// settings a conversion gets from them.
//
// A plain value; the document keeps one on the GUI thread.
#pragma once

#include "filelogic/FormatList.h"
#include "rewrite/SavePlan.h"

#include <QList>
#include <QString>

#include <vector>

// The name a conversion proposes: the document's file name with its last
// extension replaced by the target format's.
QString proposedConvertName(const QString &documentPath, const QString &extension);

// Channels the conversion and peak lists name one by one; those beyond are
// always kept and never measured.
constexpr int kListedChannels = 256;

class ConversionChoices
{
public:
    // What a file starts with: its own container and that container's first
    // encoding, every channel, and the record kept when the file has one.
    void reset(int format, int channels, bool hasBext);

    int majorIndex() const { return m_major; }
    // Lists the encodings the container at `index` (of majorFormats()) can
    // write and picks the first.
    void selectMajor(int index);
    const QList<FormatEntry> &subformats() const { return m_subformats; }
    // The complete format word of the encoding chosen from subformats();
    // 0 when the container offers none.
    int format() const { return m_format; }
    void setFormat(int format) { m_format = format; }

    // Channels beyond the listed ones cannot be deselected.
    bool channelKept(int channel) const;
    void setChannelKept(int channel, bool kept);
    bool keepBext() const { return m_keepBext; }
    void setKeepBext(bool keep) { m_keepBext = keep; }

    // The name the converted file of documentPath is proposed under, with
    // the chosen container's extension.
    QString proposedName(const QString &documentPath) const;
    // The chosen format, the ticked channels among those listed and every
    // channel beyond them, and the record choice.
    rewrite::ConversionSettings settings() const;

private:
    int m_major = 0;
    QList<FormatEntry> m_subformats;
    int m_format = 0;
    int m_channels = 0;
    std::vector<bool> m_kept;
    bool m_keepBext = false;
};
