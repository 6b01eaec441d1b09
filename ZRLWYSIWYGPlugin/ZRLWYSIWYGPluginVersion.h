#pragma once
// The framework's exported version number and version text: data in the
// library itself, so that `strings` and what-style tools find the text in
// libZRLWYSIWYGPlugin.so.1.

#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPluginExport.h"

// 1.0.
extern ZRLWYSIWYGPLUGIN_EXPORT const double ZRLWYSIWYGPluginVersionNumber;
// "@(#)PROGRAM:ZRLWYSIWYGPlugin  PROJECT:ZRLWYSIWYGPlugin-1" and a line feed.
extern ZRLWYSIWYGPLUGIN_EXPORT const unsigned char ZRLWYSIWYGPluginVersionString[];
