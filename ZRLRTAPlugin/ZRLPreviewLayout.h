#pragma once
// Where each part of a preview goes, by the rules of docs/PREVIEWS.md that
// the dashboard's page follows too: a pure function of the window's size,
// its safe-area insets, the target's rectangle (or none) and the number of
// lines of the title and the text. The drawing, the simulator's dump and
// the tests share it.

#include <optional>

#include "Platform/UIKit/CGGeometry.h"
#include "Platform/UIKit/UIView.h"
#include "ZRLRTAPlugin/ZRLRTAPluginExport.h"

// What a builder draws: a coach mark ("coach_mark"), a tooltip ("inline"),
// a nudge ("passive_nudge") or an in-app message (any other display type).
enum class ZRLPreviewKind { coachMark, tooltip, nudge, inApp };

// The display type that names the kind: "coach_mark", "inline",
// "passive_nudge" or "in_app".
ZRLRTAPLUGIN_EXPORT const char* ZRLPreviewKindName(ZRLPreviewKind kind);

// The measures of the rules, in points.
struct ZRLRTAPLUGIN_EXPORT ZRLPreviewMetrics {
  static constexpr CGFloat kCardMaximumWidth = 320;
  static constexpr CGFloat kSideMargin = 16;      // card to the window's sides
  static constexpr CGFloat kGap = 12;             // card to its anchor
  static constexpr CGFloat kSpotlightMargin = 8;  // spotlight around the target
  static constexpr CGFloat kPadding = 12;         // inside the card
  static constexpr CGFloat kTitleLineHeight = 22;
  static constexpr CGFloat kTextLineHeight = 20;
  static constexpr CGFloat kBlockGap = 6;        // between title and text
  static constexpr CGFloat kTitleFontSize = 17;  // bold
  static constexpr CGFloat kTextFontSize = 15;
  static constexpr long kTitleMaximumLines = 2;
  static constexpr long kTextMaximumLines = 6;
  static constexpr CGFloat kArrowBase = 16;
  static constexpr CGFloat kArrowInset = 16;  // tip to the card's sides
  static constexpr CGFloat kNudgeTopGap = 8;  // banner below the top inset
  static constexpr CGFloat kCloseWidth = 100;
  static constexpr CGFloat kCloseHeight = 36;
  static constexpr CGFloat kCloseBottomGap = 12;
  static constexpr CGFloat kCloseCornerRadius = 8;
  static constexpr CGFloat kInAppExtraHeight = 48;  // room for "Close"
  static constexpr CGFloat kCornerRadius = 12;
  static constexpr double kDimAlpha = 0.6;
  static constexpr double kNudgeSeconds = 4;
};

// The tooltip's arrow: a triangle from its base on the card's edge to its
// tip on the target's edge.
struct ZRLRTAPLUGIN_EXPORT ZRLPreviewArrow {
  CGPoint baseLeft;
  CGPoint baseRight;
  CGPoint tip;
};

// The parts of a preview in window points.
struct ZRLRTAPLUGIN_EXPORT ZRLPreviewPlacement {
  bool dimmed = false;              // the window is dimmed (outside the spotlight)
  std::optional<CGRect> target;     // the target, when found and used
  std::optional<CGRect> spotlight;  // the undimmed hole of a coach mark
  CGRect card;                      // the card, or a nudge's banner
  std::optional<ZRLPreviewArrow> arrow;
  CGRect title;                       // the title's lines (empty: none)
  CGRect text;                        // the text's lines (empty: none)
  std::optional<CGRect> closeButton;  // an in-app message's "Close"
};

// The width within which the card's text wraps.
ZRLRTAPLUGIN_EXPORT CGFloat ZRLPreviewTextWidth(ZRLPreviewKind kind, CGSize window);

// The placement for lines of text already measured at ZRLPreviewTextWidth
// (counts beyond the rules' maximums are taken as the maximums). The target
// is ignored by a nudge and an in-app message.
ZRLRTAPLUGIN_EXPORT ZRLPreviewPlacement ZRLPreviewPlace(ZRLPreviewKind kind, CGSize window,
                                                        UIEdgeInsets insets,
                                                        std::optional<CGRect> target,
                                                        long titleLines, long textLines);
