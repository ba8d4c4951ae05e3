#include "window/AccessibleNames.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QHash>
#include <QLabel>
#include <QMetaObject>
#include <QRegularExpression>
#include <QWidget>

namespace {

// Names the word rule would get wrong or leave vague: a prefix that is the
// only hint of what the control does, two controls that would share a name,
// or a word that is really two.
const QHash<QString, QString> &overrides()
{
    static const QHash<QString, QString> table{
        {QStringLiteral("centralWidget"), QStringLiteral("Window contents")},
        {QStringLiteral("tabView"), QStringLiteral("Tabs")},
        {QStringLiteral("labelSamplerate"), QStringLiteral("Sample rate")},
        {QStringLiteral("labelFilesize"), QStringLiteral("File size")},
        {QStringLiteral("bextOriginatorRef"), QStringLiteral("Originator reference")},
        {QStringLiteral("convertFormat"), QStringLiteral("Conversion format")},
        {QStringLiteral("convertSubformat"), QStringLiteral("Conversion encoding")},
        {QStringLiteral("convertTable"), QStringLiteral("Channels to keep")},
        {QStringLiteral("convertChannelsNote"), QStringLiteral("Conversion channel note")},
        {QStringLiteral("convertKeepBEXT"), QStringLiteral("Keep the broadcast (BEXT) record")},
        {QStringLiteral("convertButton"), QStringLiteral("Convert")},
        {QStringLiteral("convertSheet"), QStringLiteral("Conversion")},
        {QStringLiteral("convertProgress"), QStringLiteral("Conversion progress")},
        {QStringLiteral("convertCancelButton"), QStringLiteral("Cancel conversion")},
        {QStringLiteral("peakNotYet"), QStringLiteral("Peak levels not calculated yet")},
        {QStringLiteral("peakProgress"), QStringLiteral("Peak calculation progress")},
        {QStringLiteral("peakTable"), QStringLiteral("Peak levels")},
        {QStringLiteral("peakChannelsNote"), QStringLiteral("Peak channel note")},
        {QStringLiteral("peakCalculate"), QStringLiteral("Calculate peak")},
        {QStringLiteral("loudnessGroup"), QStringLiteral("Loudness")},
        {QStringLiteral("loudnessIntegrated"), QStringLiteral("Integrated loudness")},
        {QStringLiteral("loudnessTruePeak"), QStringLiteral("True peak")},
        {QStringLiteral("loudnessMaxMomentary"), QStringLiteral("Maximum momentary loudness")},
        {QStringLiteral("loudnessMaxShortTerm"), QStringLiteral("Maximum short-term loudness")},
        {QStringLiteral("loudnessMeasure"), QStringLiteral("Measure loudness")},
        {QStringLiteral("loudnessProgress"), QStringLiteral("Loudness measurement progress")},
        {QStringLiteral("loudnessCopyToBext"), QStringLiteral("Copy loudness to the broadcast record")},
        {QStringLiteral("fixityGroup"), QStringLiteral("Fixity")},
        {QStringLiteral("md5Stored"), QStringLiteral("Stored audio checksum")},
        {QStringLiteral("md5Computed"), QStringLiteral("Computed audio checksum")},
        {QStringLiteral("md5Status"), QStringLiteral("Audio checksum status")},
        {QStringLiteral("md5Progress"), QStringLiteral("Audio checksum progress")},
        {QStringLiteral("md5Compute"), QStringLiteral("Compute checksum")},
        {QStringLiteral("md5Embed"), QStringLiteral("Store the checksum in the file")},
        // The record's fields, told apart from the measured values above.
        {QStringLiteral("bextLoudnessValue"), QStringLiteral("Record loudness value")},
        {QStringLiteral("bextLoudnessRange"), QStringLiteral("Record loudness range")},
        {QStringLiteral("bextMaxTruePeakLevel"), QStringLiteral("Record maximum true peak level")},
        {QStringLiteral("bextMaxMomentaryLoudness"), QStringLiteral("Record maximum momentary loudness")},
        {QStringLiteral("bextMaxShortTermLoudness"), QStringLiteral("Record maximum short-term loudness")},
        // The button's text switches between "play" and "pause".
        {QStringLiteral("playButton"), QStringLiteral("Play or pause")},
        {QStringLiteral("playSlider"), QStringLiteral("Play position")},
        {QStringLiteral("playPos"), QStringLiteral("Playback time")},
        {QStringLiteral("leftChannel"), QStringLiteral("Left output channel")},
        {QStringLiteral("rightChannel"), QStringLiteral("Right output channel")},
        {QStringLiteral("waveformView"), QStringLiteral("Waveform")},
        {QStringLiteral("markerTable"), QStringLiteral("Markers")},
        {QStringLiteral("ixmlWarning"), QStringLiteral("iXML chunk warning")},
        {QStringLiteral("ixmlText"), QStringLiteral("iXML chunk as text")},
        {QStringLiteral("ixmlTrackTable"), QStringLiteral("iXML tracks")},
        {QStringLiteral("ixmlSpeed"), QStringLiteral("Speed and timecode rate")},
        {QStringLiteral("ixmlUbits"), QStringLiteral("User bits")},
    };
    return table;
}

// The control groups of the document window, by name prefix.
const char *const kGroupPrefixes[] = {"label", "string", "bext", "ixml", "convert", "peak", "play"};

// "labelBytesPerSecond" -> label, Bytes, Per, Second; "keepBEXTRecord" ->
// keep, BEXT, Record; "label12" -> label, 12. Underscores separate too.
QStringList camelCaseWords(const QString &name)
{
    QStringList words;
    QString word;
    auto flush = [&] {
        if (!word.isEmpty())
            words.append(word);
        word.clear();
    };
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        if (c == u'_' || c.isSpace()) {
            flush();
            continue;
        }
        if (!word.isEmpty()) {
            const QChar prev = word.back();
            const bool nextLower = i + 1 < name.size() && name.at(i + 1).isLower();
            if ((c.isUpper() && (prev.isLower() || prev.isDigit()))
                || (c.isUpper() && prev.isUpper() && nextLower) // end of an acronym
                || (c.isDigit() != prev.isDigit()))
                flush();
        }
        word += c;
    }
    flush();
    return words;
}

bool isAcronym(const QString &word)
{
    return word.size() > 1 && word == word.toUpper() && word.at(0).isLetter();
}

QString sentence(const QStringList &words)
{
    QStringList out;
    for (const QString &w : words)
        out.append(isAcronym(w) ? w : w.toLower());
    QString text = out.join(u' ');
    if (!text.isEmpty())
        text[0] = text.at(0).toUpper();
    return text;
}

// uic names an unnamed form element after its class: "label", "label12",
// "pushButton_3". Such names say nothing about the control.
bool isGeneratedName(const QWidget *widget, const QString &name)
{
    for (const QMetaObject *mo = widget->metaObject(); mo; mo = mo->superClass()) {
        const QString cls = QString::fromLatin1(mo->className());
        if (cls.size() < 2 || cls.at(0) != u'Q' || !cls.at(1).isUpper())
            continue;
        QString base = cls.mid(1);
        base[0] = base.at(0).toLower();
        static const QRegularExpression suffix(QStringLiteral("^_?\\d*$"));
        if (name.startsWith(base) && suffix.match(name.mid(base.size())).hasMatch())
            return true;
    }
    return false;
}

// What a caption or button shows, as a name: without the mnemonic marker, the
// trailing colon or ellipsis.
QString visibleText(const QWidget *widget)
{
    QString text;
    if (const auto *label = qobject_cast<const QLabel *>(widget))
        text = label->text();
    else if (const auto *button = qobject_cast<const QAbstractButton *>(widget))
        text = button->text();
    else if (const auto *box = qobject_cast<const QGroupBox *>(widget))
        text = box->title();
    static const QRegularExpression mnemonic(QStringLiteral("&(.)"));
    text.replace(mnemonic, QStringLiteral("\\1"));
    text = text.trimmed();
    while (text.endsWith(u':') || text.endsWith(u'…') || text.endsWith(u'.'))
        text.chop(1);
    return text.trimmed();
}

bool isQtInternal(const QString &name)
{
    return name.startsWith(QLatin1String("qt_")) || name.startsWith(QLatin1String("_q_"));
}

} // namespace

QString accessibleNameForObjectName(const QString &objectName)
{
    if (objectName.isEmpty())
        return QString();
    const auto it = overrides().constFind(objectName);
    if (it != overrides().constEnd())
        return it.value();
    QStringList words = camelCaseWords(objectName);
    if (words.size() > 1) {
        for (const char *prefix : kGroupPrefixes) {
            if (words.first() == QLatin1String(prefix)) {
                words.removeFirst();
                break;
            }
        }
    }
    return sentence(words);
}

void applyAccessibleNames(QWidget *root)
{
    if (!root)
        return;
    const QList<QWidget *> widgets = root->findChildren<QWidget *>();
    for (QWidget *w : widgets) {
        const QString name = w->objectName();
        if (name.isEmpty() || isQtInternal(name) || !w->accessibleName().isEmpty())
            continue;
        QString accessible;
        // Captions are read by what they say, like any unnamed label.
        if (isGeneratedName(w, name) || name.endsWith(QLatin1String("Caption")))
            accessible = visibleText(w);
        if (accessible.isEmpty()) {
            QStringList words = camelCaseWords(name);
            // "label12" is no better than "Label".
            while (words.size() > 1 && words.last().at(0).isDigit())
                words.removeLast();
            accessible = isGeneratedName(w, name) ? sentence(words) : accessibleNameForObjectName(name);
        }
        w->setAccessibleName(accessible);
    }
}
