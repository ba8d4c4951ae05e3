#include "filelogic/MetadataField.h"

QString metadataFieldOutlet(MetadataField field)
{
    static const char *const outlets[kMetadataFieldCount] = {
        "stringTitle", "stringCopyright", "stringSoftware", "stringArtist", "stringComment", "stringDate",
        "bextDescription", "bextOriginator", "bextOriginatorRef", "bextOriginationDate", "bextOriginationTime",
        "bextTimecode", "bextVersion", "bextUMID", "bextCodingHistory",
        "bextLoudnessValue", "bextLoudnessRange", "bextMaxTruePeakLevel", "bextMaxMomentaryLoudness",
        "bextMaxShortTermLoudness",
    };
    return QString::fromLatin1(outlets[int(field)]);
}
