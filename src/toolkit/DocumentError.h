// The error a failed document operation hands back to its caller.
#pragma once

#include <QString>

struct DocumentError {
    QString domain;
    int code = 0;
    QString localizedDescription;
};
