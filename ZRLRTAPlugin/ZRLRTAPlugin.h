#pragma once
// The UI plug-in's builders, one per display type of a preview.

#include "ZRLRTAPlugin/ZRLCoachMarkHelper.h"
#include "ZRLRTAPlugin/ZRLInapp.h"
#include "ZRLRTAPlugin/ZRLNudgeHelper.h"
#include "ZRLRTAPlugin/ZRLTooltipBuilder.h"
