// The markers of a WAV/RF64/BW64 or AIFF file: cue points with the labels,
// notes and region lengths of their associated-data list ("cue " and
// LIST/adtl: labl, note, ltxt), and AIFF markers ("MARK") with the comments
// attached to them ("COMT") and the instrument's sustain and release loops
// ("INST").
//
// Liberal: a damaged or cut chunk gives the markers that could be decoded
// from it, never more than its bytes hold.
//
// Pure functions, except readMarkers, which reads through the ByteSource it
// is given: any thread.
#pragma once

#include "container/ChunkList.h"

#include <QByteArray>
#include <QList>
#include <QString>

enum class MarkerKind { Point, Region, SustainLoop, ReleaseLoop };

struct Marker {
    MarkerKind kind = MarkerKind::Point;
    // The cue point's or AIFF marker's id; a loop's is its start marker's.
    quint32 id = 0;
    qint64 frame = 0;
    qint64 length = 0; // frames; 0 for a point
    // A loop's label names it ("Sustain loop") and its note says how it
    // plays; neither is stored in the file as text.
    QString label;
    QString note;

    bool isLoop() const { return kind == MarkerKind::SustainLoop || kind == MarkerKind::ReleaseLoop; }
    bool operator==(const Marker &o) const
    {
        return kind == o.kind && id == o.id && frame == o.frame && length == o.length && label == o.label
            && note == o.note;
    }
};

// A cue point with the texts an associated-data list gives it.
struct CuePoint {
    quint32 id = 0;
    quint32 sampleOffset = 0; // dwSampleOffset: frames from the start of the data
    QString label;            // "labl"
    QString note;             // "note"
    quint32 length = 0;       // "ltxt" sample length, 0 when absent
};

// Decodes a "cue " payload and, when given, the payload of a LIST "adtl"
// (starting with "adtl"). Texts are read up to the first NUL, as UTF-8 or
// else Latin-1 (decodeFileText); the first labl and note of a point count.
QList<CuePoint> parseCuePoints(const QByteArray &cuePayload, const QByteArray &adtlListPayload = {});

// Decodes an AIFF "MARK" payload, with the "INST" and "COMT" payloads when
// given: one point per marker, named by its pstring, noted by the first
// comment that names it; one loop per INST loop that plays and whose start
// and end markers exist.
QList<Marker> parseAiffMarkers(const QByteArray &mark, const QByteArray &inst = {}, const QByteArray &comt = {});

// The file's markers, ordered by frame (file order where frames are equal).
// Empty when it has none or their chunks cannot be read.
QList<Marker> readMarkers(const ByteSource &source, const ChunkList &list);
