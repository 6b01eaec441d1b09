#pragma once
// The export macros of the host SDK and of the plug-in, from the libraries'
// generated export headers when the build makes them, else marking a
// declaration visible outside its shared library.

#if __has_include("ZorlanSDK/ZorlanSDKExport.h")
#include "ZorlanSDK/ZorlanSDKExport.h"
#endif
#if __has_include("ZRLWYSIWYGPlugin/ZRLWYSIWYGPluginExport.h")
#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPluginExport.h"
#endif

#ifndef ZORLANSDK_EXPORT
#define ZORLANSDK_EXPORT __attribute__((visibility("default")))
#endif
#ifndef ZRLWYSIWYGPLUGIN_EXPORT
#define ZRLWYSIWYGPLUGIN_EXPORT __attribute__((visibility("default")))
#endif
