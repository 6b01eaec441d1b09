#pragma once
// The host SDK's interface as the plug-in sees it: its protocols, its event
// type, its controller and utilities, the identifiers of the views on
// screen, and the global log level.

#include <atomic>
#include <cstdint>

#include "ZorlanSDK/ZRLController.h"
#include "ZorlanSDK/ZRLEvent.h"
#include "ZorlanSDK/ZRLEventListener.h"
#include "ZorlanSDK/ZRLUtilities.h"
#include "ZorlanSDK/ZRLViewIdentifiers.h"
#include "ZorlanSDK/ZorlanPlugin.h"
#include "ZorlanSDK/ZorlanSDKExport.h"

// The host's log level, read at the moment of logging: errors are written
// at 3 and below, debug lines at 1 and below. Starts from ZRL_LOG_LEVEL in
// the environment, else 2.
extern ZORLANSDK_EXPORT std::atomic<uintptr_t> LOG_LEVEL;
