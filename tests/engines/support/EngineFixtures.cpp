// The engine tests' helpers are inline; this gives their library a source.
#include "EngineFixtures.h"
