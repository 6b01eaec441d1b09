#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPluginVersion.h"

// Defined here rather than in the header so that the library carries them
// (and exports them) once.
const double ZRLWYSIWYGPluginVersionNumber = 1.0;
const unsigned char ZRLWYSIWYGPluginVersionString[] =
    "@(#)PROGRAM:ZRLWYSIWYGPlugin  PROJECT:ZRLWYSIWYGPlugin-1\n";
