#include "ZRLRTAPlugin/ZRLPreviewLayout.h"

#include <algorithm>

namespace {

using M = ZRLPreviewMetrics;

CGFloat maxX(CGRect rect) {
  return rect.origin.x + rect.size.width;
}
CGFloat maxY(CGRect rect) {
  return rect.origin.y + rect.size.height;
}

// A value moved into [low, high], the lower bound winning when the range
// is empty.
CGFloat keptIn(CGFloat value, CGFloat low, CGFloat high) {
  return std::max(low, std::min(value, high));
}

CGFloat cardWidth(ZRLPreviewKind kind, CGSize window) {
  const CGFloat full = window.width - 2 * M::kSideMargin;
  const CGFloat width = kind == ZRLPreviewKind::nudge ? full : std::min(M::kCardMaximumWidth, full);
  return std::max<CGFloat>(width, 0);
}

// The edges of a rectangle each clamped into the window.
CGRect clippedToWindow(CGRect rect, CGSize window) {
  const CGFloat left = std::clamp<CGFloat>(rect.origin.x, 0, window.width);
  const CGFloat top = std::clamp<CGFloat>(rect.origin.y, 0, window.height);
  const CGFloat right = std::clamp<CGFloat>(maxX(rect), 0, window.width);
  const CGFloat bottom = std::clamp<CGFloat>(maxY(rect), 0, window.height);
  return CGRectMake(left, top, right - left, bottom - top);
}

}  // namespace

const char* ZRLPreviewKindName(ZRLPreviewKind kind) {
  switch (kind) {
    case ZRLPreviewKind::coachMark:
      return "coach_mark";
    case ZRLPreviewKind::tooltip:
      return "inline";
    case ZRLPreviewKind::nudge:
      return "passive_nudge";
    case ZRLPreviewKind::inApp:
      break;
  }
  return "in_app";
}

CGFloat ZRLPreviewTextWidth(ZRLPreviewKind kind, CGSize window) {
  return std::max<CGFloat>(cardWidth(kind, window) - 2 * M::kPadding, 0);
}

ZRLPreviewPlacement ZRLPreviewPlace(ZRLPreviewKind kind, CGSize window, UIEdgeInsets insets,
                                    std::optional<CGRect> target, long titleLines, long textLines) {
  titleLines = std::clamp<long>(titleLines, 0, M::kTitleMaximumLines);
  textLines = std::clamp<long>(textLines, 0, M::kTextMaximumLines);
  const CGFloat titleHeight = static_cast<CGFloat>(titleLines) * M::kTitleLineHeight;
  const CGFloat textHeight = static_cast<CGFloat>(textLines) * M::kTextLineHeight;
  const CGFloat gap = titleLines > 0 && textLines > 0 ? M::kBlockGap : 0;
  const CGFloat width = cardWidth(kind, window);
  CGFloat height = titleHeight + gap + textHeight + 2 * M::kPadding;
  if (kind == ZRLPreviewKind::inApp) height += M::kInAppExtraHeight;

  const CGFloat W = window.width;
  const CGFloat H = window.height;
  const auto clampLeft = [&](CGFloat left) {
    return keptIn(left, std::max(M::kSideMargin, insets.left),
                  W - std::max(M::kSideMargin, insets.right) - width);
  };
  const auto clampTop = [&](CGFloat top) {
    return keptIn(top, insets.top, H - insets.bottom - height);
  };
  const auto centred = [&] {
    return CGPointMake(clampLeft((W - width) / 2), clampTop((H - height) / 2));
  };

  ZRLPreviewPlacement placement;
  CGPoint origin;
  switch (kind) {
    case ZRLPreviewKind::nudge:
      origin = CGPointMake(M::kSideMargin, insets.top + M::kNudgeTopGap);
      break;
    case ZRLPreviewKind::inApp:
      placement.dimmed = true;
      origin = centred();
      break;
    case ZRLPreviewKind::coachMark:
    case ZRLPreviewKind::tooltip: {
      placement.dimmed = kind == ZRLPreviewKind::coachMark;
      if (!target) {
        origin = centred();
        break;
      }
      const CGRect found = *target;
      placement.target = found;
      CGRect anchor = found;
      if (kind == ZRLPreviewKind::coachMark) {
        anchor = clippedToWindow(
            CGRectMake(found.origin.x - M::kSpotlightMargin, found.origin.y - M::kSpotlightMargin,
                       found.size.width + 2 * M::kSpotlightMargin,
                       found.size.height + 2 * M::kSpotlightMargin),
            window);
        placement.spotlight = anchor;
      }
      const CGFloat centreX = found.origin.x + found.size.width / 2;
      origin.x = clampLeft(centreX - width / 2);
      // Below the anchor, else above it, where the card lies wholly in the
      // safe area; else clamped into it.
      const CGFloat below = maxY(anchor) + M::kGap;
      const CGFloat above = anchor.origin.y - M::kGap - height;
      const auto inSafeArea = [&](CGFloat top) {
        return top >= insets.top && top + height <= H - insets.bottom;
      };
      bool fits = true;
      bool isBelow = true;
      if (inSafeArea(below)) {
        origin.y = below;
      } else if (inSafeArea(above)) {
        origin.y = above;
        isBelow = false;
      } else {
        origin.y = clampTop(below);
        fits = false;
      }
      if (kind == ZRLPreviewKind::tooltip && fits) {
        const CGFloat tipX =
            keptIn(centreX, origin.x + M::kArrowInset, origin.x + width - M::kArrowInset);
        const CGFloat baseY = isBelow ? origin.y : origin.y + height;
        const CGFloat tipY = isBelow ? baseY - M::kGap : baseY + M::kGap;
        placement.arrow =
            ZRLPreviewArrow{CGPointMake(tipX - M::kArrowBase / 2, baseY),
                            CGPointMake(tipX + M::kArrowBase / 2, baseY), CGPointMake(tipX, tipY)};
      }
      break;
    }
  }
  placement.card = CGRect{origin, CGSizeMake(width, height)};
  const CGFloat innerWidth = std::max<CGFloat>(width - 2 * M::kPadding, 0);
  placement.title =
      CGRectMake(origin.x + M::kPadding, origin.y + M::kPadding, innerWidth, titleHeight);
  placement.text = CGRectMake(origin.x + M::kPadding, origin.y + M::kPadding + titleHeight + gap,
                              innerWidth, textHeight);
  if (kind == ZRLPreviewKind::inApp) {
    placement.closeButton = CGRectMake(origin.x + (width - M::kCloseWidth) / 2,
                                       origin.y + height - M::kCloseBottomGap - M::kCloseHeight,
                                       M::kCloseWidth, M::kCloseHeight);
  }
  return placement;
}
