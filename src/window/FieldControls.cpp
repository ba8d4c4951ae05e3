#include "window/FieldControls.h"

#include "ui_SoundFile.h"

QWidget *fieldControl(const Ui::SoundFile &ui, MetadataField field)
{
    using F = MetadataField;
    switch (field) {
    case F::Title: return ui.stringTitle;
    case F::Copyright: return ui.stringCopyright;
    case F::Software: return ui.stringSoftware;
    case F::Artist: return ui.stringArtist;
    case F::Comment: return ui.stringComment;
    case F::Date: return ui.stringDate;
    case F::Description: return ui.bextDescription;
    case F::Originator: return ui.bextOriginator;
    case F::OriginatorRef: return ui.bextOriginatorRef;
    case F::OriginationDate: return ui.bextOriginationDate;
    case F::OriginationTime: return ui.bextOriginationTime;
    case F::Timecode: return ui.bextTimecode;
    case F::Version: return ui.bextVersion;
    case F::UMID: return ui.bextUMID;
    case F::CodingHistory: return ui.bextCodingHistory;
    case F::LoudnessValue: return ui.bextLoudnessValue;
    case F::LoudnessRange: return ui.bextLoudnessRange;
    case F::MaxTruePeakLevel: return ui.bextMaxTruePeakLevel;
    case F::MaxMomentaryLoudness: return ui.bextMaxMomentaryLoudness;
    case F::MaxShortTermLoudness: return ui.bextMaxShortTermLoudness;
    case F::IxmlProject: return ui.ixmlProject;
    case F::IxmlScene: return ui.ixmlScene;
    case F::IxmlTake: return ui.ixmlTake;
    case F::IxmlTape: return ui.ixmlTape;
    case F::IxmlCircled: return ui.ixmlCircled;
    case F::IxmlNote: return ui.ixmlNote;
    case F::IxmlTrackName: return ui.ixmlTrackTable;
    }
    return nullptr;
}

QLabel *reportLabel(const Ui::SoundFile &ui, const QString &key)
{
    // Properties and Loudness keys differ, so one list serves both.
    static const std::pair<const char *, QLabel *Ui::SoundFile::*> labels[] = {
        {"format", &Ui::SoundFile::labelFormat},
        {"sampleFormat", &Ui::SoundFile::labelSampleFormat},
        {"samplerate", &Ui::SoundFile::labelSamplerate},
        {"bytesPerSample", &Ui::SoundFile::labelBytesPerSample},
        {"channels", &Ui::SoundFile::labelChannels},
        {"frames", &Ui::SoundFile::labelFrames},
        {"length", &Ui::SoundFile::labelLength},
        {"filesize", &Ui::SoundFile::labelFilesize},
        {"bytesPerSecond", &Ui::SoundFile::labelBytesPerSecond},
        {"sections", &Ui::SoundFile::labelSections},
        {"integrated", &Ui::SoundFile::loudnessIntegrated},
        {"range", &Ui::SoundFile::loudnessRange},
        {"truePeak", &Ui::SoundFile::loudnessTruePeak},
        {"maxMomentary", &Ui::SoundFile::loudnessMaxMomentary},
        {"maxShortTerm", &Ui::SoundFile::loudnessMaxShortTerm},
    };
    for (const auto &[name, label] : labels)
        if (key == QLatin1String(name))
            return ui.*label;
    return nullptr;
}
