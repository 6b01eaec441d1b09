#pragma once
// Scene files of the simulator: JSON that describes the screens an app
// shows as trees of views. Loading checks every value and names the place
// of the first fault in the file; showing a screen puts its views into a
// key window that fills the screen.
//
//   { "screen": {"width": 375, "height": 667, "scale": 2},
//     "reactNative": false,
//     "screens": { "Login": VIEW, ... },
//     "initial": "Login" }
//   VIEW = { "class": "UIView" | "UILabel" | "UIButton" | "UIImageView" |
//                     "UITableViewCell" | "UICollectionViewCell",
//            "frame": [x, y, w, h], "name", "boundsOrigin": [x, y], "tag",
//            "nativeID", "hidden", "ignored", "backgroundColor": "#rrggbb",
//            "cornerRadius", "zPosition", "text", "textColor", "fontSize",
//            "subviews": [VIEW, ...] }

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Platform/UIKit/UIWindow.h"

// Bounds on what a scene may hold, so that no file makes loading or
// capturing unbounded.
inline constexpr size_t kZRLSimMaximumSceneBytes = 16U << 20;
inline constexpr size_t kZRLSimMaximumDepth = 2000;
inline constexpr size_t kZRLSimMaximumViews = 100000;
inline constexpr double kZRLSimMaximumScreenSide = 8192;

struct ZRLSimScreen {
  std::string name;
  UIViewPtr rootView;
  // Views marked "ignored", which the host leaves out of its tree.
  std::vector<UIViewPtr> ignoredViews;
};

class ZRLSimScene {
 public:
  // The scene that the text holds, or nothing with error set to a message
  // that names the place of the fault ("line 3, column 7: ..." for bad
  // JSON, a JSON pointer such as /screens/Login/subviews/0 otherwise).
  static std::optional<ZRLSimScene> load(std::string_view text, std::string& error);
  // The same for a file; the error begins with the file's name.
  static std::optional<ZRLSimScene> loadFile(const std::string& path, std::string& error);

  CGSize screenSize() const { return screenSize_; }
  CGFloat screenScale() const { return screenScale_; }
  bool isReactNative() const { return reactNative_; }
  // Screens in the order of the file.
  const std::vector<ZRLSimScreen>& screens() const { return screens_; }
  const std::string& initialScreen() const { return initial_; }
  const ZRLSimScreen* screenNamed(std::string_view name) const;

  // Sets the main screen, makes a key window of the screen's size holding
  // the named screen's root view and marks its ignored views; returns the
  // window (keep it: the application holds windows weakly), or null when
  // the scene has no such screen.
  std::shared_ptr<UIWindow> show(std::string_view name) const;

 private:
  CGSize screenSize_ = CGSizeMake(390, 844);
  CGFloat screenScale_ = 3;
  bool reactNative_ = false;
  std::vector<ZRLSimScreen> screens_;
  std::string initial_;
};
