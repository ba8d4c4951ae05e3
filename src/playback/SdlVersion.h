// The SDL version the program runs with, for the About box.
#pragma once

#include <QString>

// "SDL 2.26.5". Any thread.
QString sdlVersionText();
