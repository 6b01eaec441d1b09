#pragma once
// The framework's exported version number and version text.

inline constexpr double ZRLWYSIWYGPluginVersionNumber = 1.0;
inline constexpr unsigned char ZRLWYSIWYGPluginVersionString[] =
    "@(#)PROGRAM:ZRLWYSIWYGPlugin  PROJECT:ZRLWYSIWYGPlugin-1\n";
