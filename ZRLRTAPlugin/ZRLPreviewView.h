#pragma once
// The preview on screen. A ZRLPreviewView is one preview laid over the key
// window: it draws the dimming (with the spotlight's hole) and a tooltip's
// arrow itself, and holds the card (or a nudge's banner) with its labels and
// an in-app message's "Close" button; a tap anywhere on it dismisses it.
// ZRLPreviewPresenter keeps at most one preview on screen and says what it
// shows. Main thread only.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Platform/UIKit/UIButton.h"
#include "Platform/UIKit/UIView.h"
#include "ZRLRTAPlugin/ZRLPreviewContent.h"
#include "ZRLRTAPlugin/ZRLPreviewLayout.h"
#include "ZRLRTAPlugin/ZRLRTAPluginExport.h"

// The tag of a preview's view in its window.
inline constexpr long ZRLPreviewViewTag = 0x5A52;

// What a preview shows (the fields of its configuration as shown, absent
// ones empty), and where.
struct ZRLRTAPLUGIN_EXPORT ZRLPreviewShown {
  ZRLPreviewKind kind = ZRLPreviewKind::inApp;
  ZRLPreviewContent content;
  ZRLPreviewPlacement placement;
};

class ZRLRTAPLUGIN_EXPORT ZRLPreviewView : public UIView {
 public:
  // A view over the window's whole bounds; make it with std::make_shared,
  // then call buildSubviews once.
  ZRLPreviewView(CGRect windowBounds, ZRLPreviewShown shown);
  const char* className() const override { return "ZRLPreviewView"; }

  const ZRLPreviewShown& shown() const { return shown_; }
  void buildSubviews();

  // The preview takes the touches that fall on what it draws: the whole
  // window when it dims it, else its card and arrow.
  bool pointInside(CGPoint point, const UIEvent* event) const override;
  UIViewPtr hitTest(CGPoint point, const UIEvent* event) override;
  void touchesEnded(const UITouch& touch) override;
  void drawRect(CGContextRef context, CGRect rect) const override;

 private:
  ZRLPreviewShown shown_;
  std::weak_ptr<UIButton> closeButton_;
};

class ZRLRTAPLUGIN_EXPORT ZRLPreviewPresenter {
 public:
  // Shows the content as a preview of the kind in the key window of the
  // moment, in place of the one shown (wherever that is). A coach mark or
  // tooltip looks its target up by identifier among the views on screen
  // and centres its card when there is none. A nudge leaves by itself
  // after ZRLPreviewMetrics::kNudgeSeconds. Without a key window nothing is
  // drawn (a log line says so).
  static void present(ZRLPreviewKind kind, const ZRLPreviewContent& content);
  // Takes the preview off the screen; nothing when none is shown.
  static void dismiss();
  // What the preview on screen shows; nothing when none is shown (a
  // preview whose window has gone or is hidden is not shown).
  static std::optional<ZRLPreviewShown> shown();

  // How a nudge's leaving is scheduled: the timer is asked to call fire on
  // the main queue after that many seconds. The default uses
  // dispatch_after on the main queue; tests put their own (empty: the
  // default again).
  using Timer = std::function<void(double seconds, std::function<void()> fire)>;
  static void setTimer(Timer timer);
};
