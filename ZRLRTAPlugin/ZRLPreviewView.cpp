#include "ZRLRTAPlugin/ZRLPreviewView.h"

#include <cmath>
#include <vector>

#include "Platform/Dispatch/Dispatch.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/UIKit/UIGestureRecognizer.h"
#include "Platform/UIKit/UILabel.h"
#include "Platform/UIKit/UIWindow.h"
#include "ZorlanSDK/ZRLViewIdentifiers.h"

namespace {

using M = ZRLPreviewMetrics;

bool contains(CGRect rect, CGPoint point) {
  return point.x >= rect.origin.x && point.y >= rect.origin.y &&
         point.x < rect.origin.x + rect.size.width && point.y < rect.origin.y + rect.size.height;
}

UIColorPtr hex(std::string_view text) {
  return UIColor::colorWithHexString(text);
}

// A label of the card: wrapped within its width, at most so many lines of
// a fixed height, the last one kept ending in an ellipsis when cut.
std::shared_ptr<UILabel> cardLabel(const std::string& text, bool bold, CGFloat size,
                                   std::string_view color, long lines, CGFloat lineHeight) {
  auto label = std::make_shared<UILabel>();
  label->setText(text);
  label->setFont(bold ? UIFont::boldSystemFontOfSize(size) : UIFont::systemFontOfSize(size));
  label->setTextColor(hex(color));
  label->setNumberOfLines(lines);
  label->setLineBreakMode(NSLineBreakMode::byTruncatingTail);
  label->setLineHeight(lineHeight);
  return label;
}

std::shared_ptr<UILabel> titleLabel(const std::string& text) {
  return cardLabel(text, true, M::kTitleFontSize, "#111111", M::kTitleMaximumLines,
                   M::kTitleLineHeight);
}

std::shared_ptr<UILabel> textLabel(const std::string& text) {
  return cardLabel(text, false, M::kTextFontSize, "#333333", M::kTextMaximumLines,
                   M::kTextLineHeight);
}

// The lines that a label's text takes within the width.
long lineCount(const UILabel& label, CGFloat width) {
  const CGRect used = label.textRectForBounds(CGRectMake(0, 0, width, 1e6), label.numberOfLines());
  return std::lround(used.size.height / label.lineHeight());
}

CGRect relativeTo(CGRect rect, CGPoint origin) {
  return CGRect{CGPointMake(rect.origin.x - origin.x, rect.origin.y - origin.y), rect.size};
}

struct PresenterState {
  std::shared_ptr<ZRLPreviewView> view;
  uint64_t generation = 0;  // counts the previews presented
  ZRLPreviewPresenter::Timer timer;
};

PresenterState& presenterState() {
  static auto* state = new PresenterState();  // NOLINT: process lifetime
  return *state;
}

void scheduleLeaving(double seconds, std::function<void()> fire) {
  const PresenterState& state = presenterState();
  if (state.timer) {
    state.timer(seconds, std::move(fire));
    return;
  }
  dispatch_after(dispatch_time(DISPATCH_TIME_NOW, static_cast<int64_t>(seconds * NSEC_PER_SEC)),
                 dispatch_get_main_queue(), std::move(fire));
}

}  // namespace

ZRLPreviewView::ZRLPreviewView(CGRect windowBounds, ZRLPreviewShown shown)
    : UIView(windowBounds), shown_(std::move(shown)) {
  setTag(ZRLPreviewViewTag);
}

void ZRLPreviewView::buildSubviews() {
  const ZRLPreviewPlacement& placement = shown_.placement;
  auto card = std::make_shared<UIView>(placement.card);
  card->setBackgroundColor(UIColor::whiteColor());
  card->layer().setCornerRadius(M::kCornerRadius);
  card->layer().setBorderWidth(1);
  card->layer().setBorderColor(hex("#D0D5DD"));
  const CGPoint origin = placement.card.origin;
  if (placement.title.size.height > 0) {
    auto title = titleLabel(shown_.content.title.value_or(""));
    title->setFrame(relativeTo(placement.title, origin));
    card->addSubview(title);
  }
  if (placement.text.size.height > 0) {
    auto text = textLabel(shown_.content.text.value_or(""));
    text->setFrame(relativeTo(placement.text, origin));
    card->addSubview(text);
  }
  if (placement.closeButton) {
    auto close = std::make_shared<UIButton>(relativeTo(*placement.closeButton, origin));
    close->setBackgroundColor(hex("#2563EB"));
    close->layer().setCornerRadius(M::kCloseCornerRadius);
    close->setTitle("Close", UIControlStateNormal);
    close->setTitleColor(UIColor::whiteColor(), UIControlStateNormal);
    close->addAction([](const UIButtonPtr&) { ZRLPreviewPresenter::dismiss(); },
                     UIControlEventTouchUpInside);
    closeButton_ = close;
    card->addSubview(close);
  }
  addSubview(card);
}

bool ZRLPreviewView::pointInside(CGPoint point, const UIEvent* event) const {
  if (!UIView::pointInside(point, event)) return false;
  const ZRLPreviewPlacement& placement = shown_.placement;
  if (placement.dimmed || contains(placement.card, point)) return true;
  if (!placement.arrow) return false;
  // The arrow's box: the span of its base, from the base to the tip.
  const ZRLPreviewArrow& arrow = *placement.arrow;
  const CGFloat top = std::min(arrow.baseLeft.y, arrow.tip.y);
  return contains(CGRectMake(arrow.baseLeft.x, top, arrow.baseRight.x - arrow.baseLeft.x,
                             std::fabs(arrow.tip.y - arrow.baseLeft.y)),
                  point);
}

UIViewPtr ZRLPreviewView::hitTest(CGPoint point, const UIEvent* event) {
  if (isHidden() || !pointInside(point, event)) return nullptr;
  if (const auto close = closeButton_.lock();
      close && shown_.placement.closeButton && contains(*shown_.placement.closeButton, point)) {
    return close;
  }
  return shared_from_this();
}

void ZRLPreviewView::touchesEnded(const UITouch& /*touch*/) {
  // Only the preview on screen can be touched: this one.
  ZRLPreviewPresenter::dismiss();
}

void ZRLPreviewView::drawRect(CGContextRef context, CGRect rect) const {
  const ZRLPreviewPlacement& placement = shown_.placement;
  if (placement.dimmed) {
    // One even-odd fill of the window and the spotlight leaves the
    // spotlight undimmed.
    CGContextBeginPath(context);
    CGContextSetRGBFillColor(context, 0, 0, 0, M::kDimAlpha);
    CGContextAddRect(context, rect);
    if (placement.spotlight) CGContextAddRect(context, *placement.spotlight);
    CGContextEOFillPath(context);
  }
  if (placement.arrow) {
    const ZRLPreviewArrow& arrow = *placement.arrow;
    CGContextBeginPath(context);
    CGContextSetRGBFillColor(context, 1, 1, 1, 1);
    CGContextMoveToPoint(context, arrow.baseLeft.x, arrow.baseLeft.y);
    CGContextAddLineToPoint(context, arrow.baseRight.x, arrow.baseRight.y);
    CGContextAddLineToPoint(context, arrow.tip.x, arrow.tip.y);
    CGContextClosePath(context);
    CGContextFillPath(context);
  }
}

void ZRLPreviewPresenter::present(ZRLPreviewKind kind, const ZRLPreviewContent& content) {
  PresenterState& state = presenterState();
  const char* name = ZRLPreviewKindName(kind);
  dismiss();
  const std::shared_ptr<UIWindow> window = UIApplication::sharedApplication().keyWindow();
  if (!window) {
    NSLog("[ZRLRTAPlugin] %s preview: there is no key window to show it in", name);
    return;
  }

  ZRLPreviewShown shown;
  shown.kind = kind;
  shown.content = content;
  shown.content.problems.clear();

  std::optional<CGRect> target;
  if ((kind == ZRLPreviewKind::coachMark || kind == ZRLPreviewKind::tooltip) && content.viewId) {
    if (const auto found = ZRLViewIdentifiers::viewWithIdentifier(*content.viewId)) {
      const ZRLLayoutBounds& b = found->bounds;
      target = CGRectMake(b.left, b.top, static_cast<CGFloat>(b.right) - b.left,
                          static_cast<CGFloat>(b.bottom) - b.top);
    } else {
      NSLog(
          "[ZRLRTAPlugin] %s preview: no view on screen has the identifier %@; the card is "
          "centred",
          name, *content.viewId);
    }
  }

  const CGRect bounds = window->bounds();
  const CGFloat textWidth = ZRLPreviewTextWidth(kind, bounds.size);
  const long titleLines = lineCount(*titleLabel(content.title.value_or("")), textWidth);
  const long textLines = lineCount(*textLabel(content.text.value_or("")), textWidth);
  shown.placement =
      ZRLPreviewPlace(kind, bounds.size, window->safeAreaInsets(), target, titleLines, textLines);

  auto view = std::make_shared<ZRLPreviewView>(bounds, std::move(shown));
  view->buildSubviews();
  window->addSubview(view);
  state.view = view;
  const uint64_t generation = ++state.generation;
  if (kind == ZRLPreviewKind::nudge) {
    scheduleLeaving(M::kNudgeSeconds, [generation] {
      // Only the nudge that asked leaves; a later preview stays.
      if (presenterState().generation == generation) dismiss();
    });
  }
}

void ZRLPreviewPresenter::dismiss() {
  PresenterState& state = presenterState();
  const std::shared_ptr<ZRLPreviewView> view = std::move(state.view);
  state.view = nullptr;
  ++state.generation;
  if (view) view->removeFromSuperview();
}

std::optional<ZRLPreviewShown> ZRLPreviewPresenter::shown() {
  const PresenterState& state = presenterState();
  if (!state.view) return std::nullopt;
  const std::shared_ptr<UIWindow> window = state.view->window();
  if (!window || window->isHidden()) return std::nullopt;
  return state.view->shown();
}

void ZRLPreviewPresenter::setTimer(Timer timer) {
  presenterState().timer = std::move(timer);
}
