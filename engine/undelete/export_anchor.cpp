// The shared library is the engine archive linked whole; this file only gives the target a source.
#include "undelete/undelete.h"
