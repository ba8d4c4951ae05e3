// The error a failed operation hands back to its caller, who shows it:
// operations return false and fill one of these.
#pragma once

#include <QString>

struct DocumentError {
    QString domain;
    int code = 0;
    // The short text an alert leads with ("Unable to write file").
    QString localizedDescription;
    // Why: libsndfile's text, the system's, or the check that failed.
    QString localizedFailureReason;

    // Both texts on one line, the reason in brackets: for standard error.
    QString oneLine() const
    {
        return localizedFailureReason.isEmpty() ? localizedDescription
                                                : QStringLiteral("%1 (%2)").arg(localizedDescription, localizedFailureReason);
    }

    // The user cancelled: nothing to show.
    static constexpr int kUserCancelled = 3072;
    bool isCancellation() const { return code == kUserCancelled; }
    // Another program changed the file since the document read it: the
    // window offers to save elsewhere or to revert.
    static constexpr int kChangedOnDisk = 3073;
};
