#include "keymap.h"

// input/keymap.example as a string, made by the build (input/CMakeLists.txt).
const char DEFAULT_KEYMAP[] =
#include "keymap_default.inc"
    ;
