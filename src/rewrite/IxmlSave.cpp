#include "rewrite/IxmlSave.h"

#include "filelogic/FileText.h"

namespace rewrite {

namespace {

// Each iXML field with a text of its own (the track names are kept apart).
bool isIxmlText(const FieldFacts &f)
{
    return f.store == FieldStore::Ixml && f.kind != FieldKind::TrackName;
}

// The edited payload; nullopt with *problem when the edits cannot be made,
// and with an empty one when there are none.
std::optional<QByteArray> editedPayload(const MetadataTexts &texts, const FileMetadata &read, QString *problem)
{
    const IxmlEdits edits = ixmlEdits(texts, read);
    if (edits.isEmpty())
        return std::nullopt;
    return editIxmlChunk(read.ixml.value_or(QByteArray()), edits, problem);
}

} // namespace

void fillIxmlTexts(const FileMetadata &read, MetadataTexts *texts)
{
    const IxmlChunk chunk = readIxmlChunk(read.ixml.value_or(QByteArray()));
    for (const FieldFacts &f : metadataFieldTable())
        if (isIxmlText(f))
            (*texts)[size_t(f.id)] = chunk.text(f.id);
    // A multi-line field shows its line breaks as LF.
    (*texts)[size_t(MetadataField::IxmlNote)] = plainTextAsShown(chunk.text(MetadataField::IxmlNote));
    texts->trackNames = chunk.trackNames();
}

IxmlEdits ixmlEdits(const MetadataTexts &texts, const FileMetadata &read)
{
    MetadataTexts was;
    fillIxmlTexts(read, &was);
    IxmlEdits edits;
    for (const FieldFacts &f : metadataFieldTable())
        if (isIxmlText(f) && texts[size_t(f.id)] != was[size_t(f.id)])
            edits.fields[f.id] = texts[size_t(f.id)];
    for (const auto &[channel, name] : texts.trackNames) {
        const auto found = was.trackNames.find(channel);
        if (name != (found == was.trackNames.end() ? QString() : found->second))
            edits.trackNames[channel] = name;
    }
    return edits;
}

QString ixmlTextProblem(const MetadataTexts &texts, const FileMetadata &read)
{
    QString problem;
    editedPayload(texts, read, &problem);
    return problem;
}

std::optional<ChunkPayload> ixmlChunkFor(const MetadataTexts &texts, const FileMetadata &read)
{
    QString problem;
    const std::optional<QByteArray> payload = editedPayload(texts, read, &problem);
    return payload ? std::optional<ChunkPayload>(ChunkPayload{"iXML", *payload}) : std::nullopt;
}

} // namespace rewrite
