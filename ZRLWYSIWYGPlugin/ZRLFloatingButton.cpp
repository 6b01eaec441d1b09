#include "ZRLWYSIWYGPlugin/ZRLFloatingButton.h"

#include <cstdlib>
#include <filesystem>
#include <limits>

#include "Platform/Dispatch/Dispatch.h"
#include "Platform/Foundation/NSUserDefaults.h"
#include "ZRLWYSIWYGPlugin/ZRLLog.h"
#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPlugin.h"

namespace {

constexpr CGFloat kHalfSide = 25;      // half the floating button's side
constexpr CGFloat kMenuGap = 15;       // between the button and each action button
constexpr CGFloat kDockMargin = 10;    // between a docked button and the side edge
constexpr double kDockDuration = 0.3;  // seconds
constexpr CGFloat kTitleWidthShare = 0.66;
constexpr CGFloat kTitleFontSize = 18.0;
constexpr CGFloat kTitlePadding = 10.0;

CGFloat trunc32(CGFloat value) {
  return static_cast<CGFloat>(CGFloatToInt32(value));
}

// The resource folder: $ZRL_WYSIWYG_RESOURCES, else the installed folder,
// else the one in the source tree (for builds run in place).
void registerResourceBundle() {
  if (NSBundle::bundleWithIdentifier(kZRLWYSIWYGBundleId)) return;
  std::error_code error;
  const char* fromEnvironment =
      std::getenv("ZRL_WYSIWYG_RESOURCES");  // NOLINT(concurrency-mt-unsafe)
  std::filesystem::path folder;
  if (fromEnvironment != nullptr && *fromEnvironment != '\0') {
    folder = fromEnvironment;
  } else if (std::filesystem::is_directory(ZRL_INSTALLED_RESOURCES, error)) {
    folder = ZRL_INSTALLED_RESOURCES;
  } else {
    folder = ZRL_SOURCE_RESOURCES;
  }
  NSBundle::registerBundle(kZRLWYSIWYGBundleId, folder);
}

}  // namespace

std::shared_ptr<ZRLFloatingButtonWindow> ZRLFloatingButtonWindow::make() {
  const auto screen = UIScreen::mainScreen();
  auto window = std::make_shared<ZRLFloatingButtonWindow>(screen ? screen->bounds() : CGRectZero);
  window->setBackgroundColor(UIColor::clearColor());
  window->setWindowLevel(std::numeric_limits<CGFloat>::max());
  window->setHidden(false);
  return window;
}

bool ZRLFloatingButtonWindow::pointInside(CGPoint point, const UIEvent* event) const {
  const auto floating = button();
  const auto atd = atdButton();
  const auto ss = ssButton();
  // An unset control never claims a touch.
  if (floating && floating->pointInside(convertPoint(point, floating.get()), event)) return true;
  if (atd && !atd->isHidden() && atd->pointInside(convertPoint(point, atd.get()), event)) {
    return true;
  }
  return ss && !ss->isHidden() && ss->pointInside(convertPoint(point, ss.get()), event);
}

std::shared_ptr<ZRLFloatingButton> ZRLFloatingButtonWindow::button() const {
  std::lock_guard lock(mutex_);
  return button_;
}
void ZRLFloatingButtonWindow::setButton(std::shared_ptr<ZRLFloatingButton> button) {
  std::lock_guard lock(mutex_);
  button_ = std::move(button);
}
UIButtonPtr ZRLFloatingButtonWindow::atdButton() const {
  std::lock_guard lock(mutex_);
  return atdButton_;
}
void ZRLFloatingButtonWindow::setAtdButton(UIButtonPtr button) {
  std::lock_guard lock(mutex_);
  atdButton_ = std::move(button);
}
UIButtonPtr ZRLFloatingButtonWindow::ssButton() const {
  std::lock_guard lock(mutex_);
  return ssButton_;
}
void ZRLFloatingButtonWindow::setSsButton(UIButtonPtr button) {
  std::lock_guard lock(mutex_);
  ssButton_ = std::move(button);
}

std::shared_ptr<ZRLFloatingButton> ZRLFloatingButton::make() {
  auto self = std::make_shared<ZRLFloatingButton>();
  ZRLController::sharedController()->registerIdentifer(
      NSStringWithFormat("%lu___%@", 0UL, std::string("BACKGROUND")), self);
  self->buttonsHidden_ = true;
  self->isTestDevice_ = getTestDeviceStatus();

  registerResourceBundle();
  const auto bundle = NSBundle::bundleWithIdentifier(kZRLWYSIWYGBundleId);
  self->setBackgroundImage(UIImage::imageNamed("zrl_icon", bundle, nullptr), UIControlStateNormal);
  self->layer().setCornerRadius(25.0);

  self->window_ = ZRLFloatingButtonWindow::make();
  self->window_->setButton(self);
  for (const auto& scene : UIApplication::sharedApplication().connectedScenes()) {
    const auto state = scene->activationState();
    auto windowScene = std::dynamic_pointer_cast<UIWindowScene>(scene);
    if ((state == UISceneActivationStateForegroundActive ||
         state == UISceneActivationStateForegroundInactive) &&
        windowScene) {
      self->window_->setWindowScene(windowScene);
    }
  }
  self->layer().setZPosition(1.0);
  self->window_->addSubview(self);

  self->safeTop_ = 40.0;
  self->safeBottom_ = 20.0;
  self->safeTop_ = self->safeAreaInsets().top;
  self->setFrame(CGRectMake(10.0, self->safeTop_, 50.0, 50.0));

  self->addTarget(self, &ZRLFloatingButton::floatingButtonTapped, UIControlEventTouchUpInside);
  auto pan = std::make_shared<UIPanGestureRecognizer>();
  pan->addTarget(self, &ZRLFloatingButton::panDidFire);
  self->addGestureRecognizer(pan);

  self->selectScreen_ = self->makeActionButton("Select Screen", "Select Screen");
  self->window_->setSsButton(self->selectScreen_);
  self->window_->addSubview(self->selectScreen_);
  self->selectScreen_->addTarget(self, &ZRLFloatingButton::selectScreenButtonTapped,
                                 UIControlEventTouchUpInside);

  // Measured on the longer title, so the button keeps one size for both.
  self->addTestDevice_ = self->makeActionButton(
      self->isTestDevice_ ? "Remove Test Device" : "Add Test Device", "Remove Test Device");
  self->window_->setAtdButton(self->addTestDevice_);
  self->window_->addSubview(self->addTestDevice_);
  self->addTestDevice_->addTarget(self, &ZRLFloatingButton::addTestDeviceTapped,
                                  UIControlEventTouchUpInside);
  return self;
}

UIButtonPtr ZRLFloatingButton::makeActionButton(const std::string& title,
                                                const std::string& measuredTitle) {
  auto button = std::make_shared<UIButton>();
  button->setBackgroundColor(UIColor::orangeColor());
  button->layer().setCornerRadius(5.0);
  button->setTitle(title, UIControlStateNormal);
  button->setTitleColor(UIColor::blackColor(), UIControlStateNormal);
  button->setHidden(true);
  const CGSize size = getBoundingRectSizeForText(measuredTitle, window_);
  button->setFrame(CGRectMake(0, 0, size.width + kTitlePadding, size.height + kTitlePadding));
  return button;
}

void ZRLFloatingButton::onEvent(const ZRLEventPtr& event) {
  if (event && event->eventType() == 0 && event->identifier() == std::string("BACKGROUND")) {
    saveTestDeviceStatus(isTestDevice_.load());
  }
}

void ZRLFloatingButton::floatingButtonTapped(const UIButtonPtr& /*sender*/) {
  if (!buttonsHidden_) {
    buttonsHidden_ = true;
    selectScreen_->setHidden(true);
    addTestDevice_->setHidden(true);
  } else {
    positionButtons();
    buttonsHidden_ = false;
    selectScreen_->setHidden(false);
    addTestDevice_->setHidden(false);
  }
}

void ZRLFloatingButton::selectScreenButtonTapped(const UIButtonPtr& /*sender*/) {
  selectScreen_->setBackgroundColor(isSelectScreenButtonGreenColor_ ? UIColor::orangeColor()
                                                                    : UIColor::greenColor());
  isSelectScreenButtonGreenColor_ = !isSelectScreenButtonGreenColor_;
  ZRLWYSIWYGPlugin::sharedInstance()->selectScreenTapped();
}

void ZRLFloatingButton::addTestDeviceTapped(const UIButtonPtr& /*sender*/) {
  setTitleForTestDeviceButton();
}

void ZRLFloatingButton::showTestDeviceState(bool registered, bool green) {
  isTestDevice_ = registered;
  testDeviceGreen_ = green;
  addTestDevice_->setTitle(registered ? "Remove Test Device" : "Add Test Device",
                           UIControlStateNormal);
  addTestDevice_->setTitleColor(UIColor::blackColor(), UIControlStateNormal);
  addTestDevice_->setBackgroundColor(green ? UIColor::greenColor() : UIColor::orangeColor());
}

void ZRLFloatingButton::setTitleForTestDeviceButton() {
  const auto plugin = ZRLWYSIWYGPlugin::sharedInstance();
  const bool flagBefore = isTestDevice_.load();
  const bool greenBefore = testDeviceGreen_;
  const uint64_t tap = ++testDeviceTaps_;
  const std::weak_ptr<ZRLFloatingButton> weak =
      std::static_pointer_cast<ZRLFloatingButton>(shared_from_this());
  // A failure is undone on the main queue, where the button lives.
  auto completion = [weak, tap, flagBefore, greenBefore](bool accepted) {
    if (accepted) return;
    dispatch_async(dispatch_get_main_queue(), [weak, tap, flagBefore, greenBefore] {
      if (auto button = weak.lock()) button->testDeviceRequestFailed(tap, flagBefore, greenBefore);
    });
  };
  if (flagBefore) {
    plugin->removeTestDevice(completion);
    showTestDeviceState(false, false);
  } else {
    plugin->addAsTestDevice(completion);
    showTestDeviceState(true, true);
  }
}

void ZRLFloatingButton::testDeviceRequestFailed(uint64_t tap, bool flagBefore, bool greenBefore) {
  // A later tap has already changed the state: it stands.
  if (tap != testDeviceTaps_) return;
  showTestDeviceState(flagBefore, greenBefore);
  // The app may have gone to the background since the tap and stored the
  // flag that is now undone: store the one shown again.
  const auto defaults = NSUserDefaults::standardUserDefaults();
  if (defaults->objectForKey(kZRLTestDeviceStatusKey) &&
      defaults->boolForKey(kZRLTestDeviceStatusKey) != flagBefore) {
    saveTestDeviceStatus(flagBefore);
  }
}

void ZRLFloatingButton::saveTestDeviceStatus(bool status) {
  const auto defaults = NSUserDefaults::standardUserDefaults();
  defaults->setBool(status, kZRLTestDeviceStatusKey);
  if (!defaults->synchronize()) {
    ZRLLogError("-[ZRLFloatingButton saveTestDeviceStatus:]", "Couldn't save test device status");
  }
}

bool ZRLFloatingButton::getTestDeviceStatus() {
  const auto defaults = NSUserDefaults::standardUserDefaults();
  if (!defaults->objectForKey(kZRLTestDeviceStatusKey)) return false;
  return defaults->boolForKey(kZRLTestDeviceStatusKey);
}

void ZRLFloatingButton::positionButtons() {
  const CGPoint c = center();
  const CGRect bounds = window_->bounds();
  const CGSize ss = selectScreen_->frame().size;
  const CGSize atd = addTestDevice_->frame().size;
  CGFloat xSS = 0;
  CGFloat xATD = 0;
  if (bounds.size.width * 0.5 > trunc32(c.x)) {
    xSS = (c.x - kHalfSide) + ss.width * 0.5;
    xATD = (c.x - kHalfSide) + atd.width * 0.5;
  } else {
    xSS = (c.x + kHalfSide) - ss.width * 0.5;
    xATD = (c.x + kHalfSide) - atd.width * 0.5;
  }
  CGFloat ySS = 0;
  CGFloat yATD = 0;
  if (c.y < bounds.size.height * 0.5) {
    ySS = trunc32(c.y + kHalfSide + kMenuGap + ss.height * 0.5);
    yATD = trunc32(ySS + ss.height * 0.5 + kMenuGap + atd.height * 0.5);
  } else {
    ySS = trunc32(c.y - kHalfSide - kMenuGap - ss.height * 0.5);
    yATD = trunc32(ySS - ss.height * 0.5 - kMenuGap - atd.height * 0.5);
  }
  selectScreen_->setCenter(CGPointMake(trunc32(xSS), ySS));
  addTestDevice_->setCenter(CGPointMake(trunc32(xATD), yATD));
}

void ZRLFloatingButton::panDidFire(const std::shared_ptr<UIPanGestureRecognizer>& recognizer) {
  if (!buttonsHidden_ || !recognizer) return;
  const CGPoint translation = recognizer->translationInView(window_);
  recognizer->setTranslation(CGPointMake(0, 0), window_);
  const CGPoint c = center();
  setCenter(CGPointMake(c.x + translation.x, c.y + translation.y));
  const auto state = recognizer->state();
  if (state == UIGestureRecognizerStateEnded || state == UIGestureRecognizerStateCancelled) {
    const auto self = std::static_pointer_cast<ZRLFloatingButton>(shared_from_this());
    UIView::animateWithDuration(kDockDuration, [self] { self->dockButton(); });
  }
}

void ZRLFloatingButton::dockButton() {
  const CGPoint c = center();
  const CGRect bounds = window_->bounds();
  const CGFloat height = bounds.size.height;
  CGFloat yi = trunc32(c.y);
  if (safeTop_ > (yi - kHalfSide)) {
    yi = trunc32(yi + (safeTop_ + kHalfSide));
  } else if (c.y + kHalfSide > height) {
    yi = trunc32(c.y - safeBottom_ - kHalfSide);
  }
  // Never out of reach: a drop far above or below the screen still docks
  // with the whole button inside the safe area.
  if (yi - kHalfSide < safeTop_) {
    yi = trunc32(safeTop_ + kHalfSide);
  } else if (yi + kHalfSide > height) {
    yi = trunc32(height - safeBottom_ - kHalfSide);
  }
  const CGFloat x = c.x < bounds.size.width * 0.5 ? bounds.origin.x + kHalfSide + kDockMargin
                                                  : bounds.size.width - kHalfSide - kDockMargin;
  setCenter(CGPointMake(x, yi));
}

CGSize ZRLFloatingButton::getBoundingRectSizeForText(const std::optional<std::string>& text,
                                                     const UIViewPtr& view) {
  if (!text) return CGSizeMake(0, 0);
  const CGSize limit =
      view ? CGSizeMake(view->frame().size.width * kTitleWidthShare, view->frame().size.height)
           : CGSizeMake(0, 0);
  const CGRect measured =
      NSStringBoundingRectWithSize(*text, limit, NSStringDrawingUsesLineFragmentOrigin,
                                   NSStringAttributes{UIFont::systemFontOfSize(kTitleFontSize)});
  return CGSizeMake(std::ceil(measured.size.width), std::ceil(measured.size.height));
}
