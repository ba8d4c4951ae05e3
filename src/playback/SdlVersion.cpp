#include "playback/SdlVersion.h"

#include <SDL.h>

QString sdlVersionText()
{
    SDL_version v;
    SDL_GetVersion(&v);
    return QStringLiteral("SDL %1.%2.%3").arg(v.major).arg(v.minor).arg(v.patch);
}
