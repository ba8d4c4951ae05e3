// libFuzzer target for the iXML reader and editor. Any bytes must read
// without a fault; a chunk that reads as editable must take an edit of a
// field and a track name and read back with them, and one that does not
// must be refused with a reason. Any mismatch aborts.
#include "filelogic/IxmlChunk.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray payload(reinterpret_cast<const char *>(data), qsizetype(size));
    const IxmlChunk chunk = readIxmlChunk(payload);
    QString problem;
    if (!payload.isEmpty() && isWellFormedUtf8Xml(payload, &problem) != chunk.editable)
        std::abort();
    // Texts that need escaping and take more bytes than characters.
    IxmlEdits edits;
    edits.fields[MetadataField::IxmlScene] = QStringLiteral("12B <&> Ü 🎬");
    edits.fields[MetadataField::IxmlNote] = chunk.text(MetadataField::IxmlNote) + QStringLiteral("\n]]>");
    edits.trackNames[int(size % 4) + 1] = QStringLiteral("Boom ß");
    QString error;
    const std::optional<QByteArray> edited = editIxmlChunk(payload, edits, &error);
    if (!edited) {
        if (chunk.editable && error.isEmpty())
            std::abort();
        return 0;
    }
    const IxmlChunk again = readIxmlChunk(*edited);
    if (!chunk.editable || !again.editable || again.text(MetadataField::IxmlScene) != edits.fields[MetadataField::IxmlScene]
        || again.trackNames()[int(size % 4) + 1] != QStringLiteral("Boom ß"))
        std::abort();
    return 0;
}
