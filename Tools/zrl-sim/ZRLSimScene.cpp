#include "Tools/zrl-sim/ZRLSimScene.h"

#include <cmath>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "Platform/UIKit/UIKit.h"
#include "ZorlanSDK/ZRLUtilities.h"

namespace {

using Json = nlohmann::ordered_json;

// A JSON pointer token (RFC 6901): "~" and "/" escaped.
std::string pointerToken(std::string_view key) {
  std::string token;
  for (const char c : key) {
    if (c == '~') {
      token += "~0";
    } else if (c == '/') {
      token += "~1";
    } else {
      token += c;
    }
  }
  return token;
}

std::string inQuotes(std::string_view key) {
  // Appended piece by piece: g++ -O3 warns falsely on chained concatenation.
  std::string text;
  text.reserve(key.size() + 2);
  text += '"';
  text += key;
  text += '"';
  return text;
}

// Thrown inside the loader only, caught by load().
struct SceneError {
  std::string message;
};

[[noreturn]] void fail(const std::string& where, const std::string& what) {
  throw SceneError{(where.empty() ? std::string("/") : where) + ": " + what};
}

double number(const Json& value, const std::string& where, std::string_view key) {
  if (!value.is_number()) fail(where, inQuotes(key) + " must be a number");
  const double result = value.get<double>();
  if (!std::isfinite(result)) fail(where, inQuotes(key) + " must be a finite number");
  return result;
}

std::vector<double> numbers(const Json& value, size_t count, const std::string& where,
                            std::string_view key) {
  const std::string shape =
      inQuotes(key) + " must be an array of " + std::to_string(count) + " numbers";
  if (!value.is_array() || value.size() != count) fail(where, shape);
  std::vector<double> result;
  for (const Json& item : value) {
    if (!item.is_number() || !std::isfinite(item.get<double>())) fail(where, shape);
    result.push_back(item.get<double>());
  }
  return result;
}

const std::string& textValue(const Json& value, const std::string& where, std::string_view key) {
  if (!value.is_string()) fail(where, inQuotes(key) + " must be a string");
  return value.get_ref<const std::string&>();
}

bool boolean(const Json& value, const std::string& where, std::string_view key) {
  if (!value.is_boolean()) fail(where, inQuotes(key) + " must be true or false");
  return value.get<bool>();
}

UIColorPtr color(const Json& value, const std::string& where, std::string_view key) {
  UIColorPtr result =
      value.is_string() ? UIColor::colorWithHexString(value.get<std::string>()) : nullptr;
  if (!result) fail(where, inQuotes(key) + " must be a colour \"#rrggbb\" or \"#rrggbbaa\"");
  return result;
}

const std::map<std::string, std::function<UIViewPtr()>, std::less<>>& viewClasses() {
  static const auto* classes = new std::map<std::string, std::function<UIViewPtr()>, std::less<>>{
      {"UIView", [] { return std::make_shared<UIView>(); }},
      {"UILabel", [] { return std::make_shared<UILabel>(); }},
      {"UIButton", [] { return std::make_shared<UIButton>(); }},
      {"UIImageView", [] { return std::make_shared<UIImageView>(); }},
      {"UITableViewCell", [] { return std::make_shared<UITableViewCell>(); }},
      {"UICollectionViewCell", [] { return std::make_shared<UICollectionViewCell>(); }},
  };
  return *classes;
}

// Sets one key of a view; false for a key that views do not have.
bool applyKey(UIView& view, const std::string& key, const Json& value, const std::string& where,
              bool& ignored) {
  if (key == "class" || key == "frame" || key == "subviews") return true;
  if (key == "name") {
    view.setAccessibilityIdentifier(textValue(value, where, key));
  } else if (key == "boundsOrigin") {
    const auto origin = numbers(value, 2, where, key);
    CGRect bounds = view.bounds();
    bounds.origin = CGPointMake(origin[0], origin[1]);
    view.setBounds(bounds);
  } else if (key == "tag") {
    if (!value.is_number_integer()) fail(where, "\"tag\" must be an integer");
    if (value.is_number_unsigned() &&
        value.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<long>::max())) {
      fail(where, "\"tag\" is out of range");
    }
    view.setTag(value.get<long>());
  } else if (key == "nativeID") {
    view.setNativeID(textValue(value, where, key));
  } else if (key == "hidden") {
    view.setHidden(boolean(value, where, key));
  } else if (key == "ignored") {
    ignored = boolean(value, where, key);
  } else if (key == "backgroundColor") {
    view.setBackgroundColor(color(value, where, key));
  } else if (key == "cornerRadius") {
    view.layer().setCornerRadius(number(value, where, key));
  } else if (key == "zPosition") {
    view.layer().setZPosition(number(value, where, key));
  } else if (key == "text" || key == "textColor" || key == "fontSize") {
    auto* label = dynamic_cast<UILabel*>(&view);
    auto* button = dynamic_cast<UIButton*>(&view);
    if (label == nullptr && button == nullptr) {
      fail(where, inQuotes(key) + " is only for \"UILabel\" and \"UIButton\" views");
    }
    if (key == "text") {
      const std::string& content = textValue(value, where, key);
      label ? label->setText(content) : button->setTitle(content, UIControlStateNormal);
    } else if (key == "textColor") {
      UIColorPtr textColor = color(value, where, key);
      label ? label->setTextColor(textColor)
            : button->setTitleColor(textColor, UIControlStateNormal);
    } else {
      const double size = number(value, where, key);
      if (!(size > 0 && size <= 1000)) fail(where, "\"fontSize\" must be above 0 and at most 1000");
      label ? label->setFont(UIFont::systemFontOfSize(size))
            : button->setTitleFont(UIFont::systemFontOfSize(size));
    }
  } else {
    return false;
  }
  return true;
}

// Builds the view tree of one screen, walking the file's nesting without
// recursion.
ZRLSimScreen loadScreen(const std::string& name, const Json& root, const std::string& where,
                        size_t& viewCount) {
  ZRLSimScreen screen{name, nullptr, {}};
  struct Pending {
    const Json* json;
    std::string where;
    UIView* parent;
    size_t depth;
  };
  std::vector<Pending> pending{{&root, where, nullptr, 1}};
  while (!pending.empty()) {
    Pending item = std::move(pending.back());
    pending.pop_back();
    const Json& json = *item.json;
    if (!json.is_object()) fail(item.where, "a view must be an object");
    if (item.depth > kZRLSimMaximumDepth) {
      fail(item.where,
           "views are nested deeper than " + std::to_string(kZRLSimMaximumDepth) + " levels");
    }
    if (++viewCount > kZRLSimMaximumViews) {
      fail(item.where,
           "the scene holds more than " + std::to_string(kZRLSimMaximumViews) + " views");
    }
    const auto className = json.find("class");
    if (className == json.end()) fail(item.where, "\"class\" is missing");
    if (!className->is_string()) fail(item.where, "\"class\" must be a string");
    const auto maker = viewClasses().find(className->get_ref<const std::string&>());
    if (maker == viewClasses().end()) {
      fail(item.where, "unknown \"class\" " + inQuotes(className->get_ref<const std::string&>()) +
                           " (one of UIView, UILabel, UIButton, UIImageView, UITableViewCell, "
                           "UICollectionViewCell)");
    }
    const auto frame = json.find("frame");
    if (frame == json.end()) fail(item.where, "\"frame\" is missing");
    const auto rect = numbers(*frame, 4, item.where, "frame");
    UIViewPtr view = maker->second();
    view->setFrame(CGRectMake(rect[0], rect[1], rect[2], rect[3]));
    bool ignored = false;
    for (const auto& [key, value] : json.items()) {
      if (!applyKey(*view, key, value, item.where, ignored)) {
        fail(item.where, "unknown key " + inQuotes(key));
      }
    }
    if (ignored) screen.ignoredViews.push_back(view);
    if (item.parent != nullptr) {
      item.parent->addSubview(view);
    } else {
      screen.rootView = view;
    }
    if (const auto subviews = json.find("subviews"); subviews != json.end()) {
      if (!subviews->is_array()) fail(item.where, "\"subviews\" must be an array of views");
      // Pushed in reverse so that the views are added in file order.
      for (size_t i = subviews->size(); i-- > 0;) {
        pending.push_back({&(*subviews)[i], item.where + "/subviews/" + std::to_string(i),
                           view.get(), item.depth + 1});
      }
    }
  }
  return screen;
}

}  // namespace

std::optional<ZRLSimScene> ZRLSimScene::load(std::string_view text, std::string& error) {
  if (text.size() > kZRLSimMaximumSceneBytes) {
    error = "the scene is larger than " + std::to_string(kZRLSimMaximumSceneBytes) + " bytes";
    return std::nullopt;
  }
  Json json;
  try {
    json = Json::parse(text);
  } catch (const Json::exception& parseError) {
    // "[json.exception.parse_error.101] parse error at line 1, column 2: ..."
    std::string message = parseError.what();
    if (const size_t at = message.find("] "); at != std::string::npos) message.erase(0, at + 2);
    error = "invalid JSON: " + message;
    return std::nullopt;
  }
  try {
    ZRLSimScene scene;
    if (!json.is_object()) fail("", "a scene must be a JSON object");
    for (const auto& [key, value] : json.items()) {
      if (key != "screen" && key != "reactNative" && key != "screens" && key != "initial") {
        fail("", "unknown key " + inQuotes(key));
      }
    }
    if (const auto screen = json.find("screen"); screen != json.end()) {
      if (!screen->is_object()) fail("/screen", "\"screen\" must be an object");
      for (const auto& [key, value] : screen->items()) {
        const double amount = number(value, "/screen", key);
        if (key == "width" || key == "height") {
          if (!(amount >= 1 && amount <= kZRLSimMaximumScreenSide)) {
            fail("/screen", inQuotes(key) + " must lie between 1 and " +
                                std::to_string(static_cast<int>(kZRLSimMaximumScreenSide)));
          }
          (key == "width" ? scene.screenSize_.width : scene.screenSize_.height) = amount;
        } else if (key == "scale") {
          if (!(amount >= 1 && amount <= 4)) fail("/screen", "\"scale\" must lie between 1 and 4");
          scene.screenScale_ = amount;
        } else {
          fail("/screen", "unknown key " + inQuotes(key));
        }
      }
    }
    if (const auto reactNative = json.find("reactNative"); reactNative != json.end()) {
      scene.reactNative_ = boolean(*reactNative, "/reactNative", "reactNative");
    }
    const auto screens = json.find("screens");
    if (screens == json.end()) fail("", "\"screens\" is missing");
    if (!screens->is_object() || screens->empty()) {
      fail("/screens", "\"screens\" must be an object of one or more named views");
    }
    size_t viewCount = 0;
    for (const auto& [name, view] : screens->items()) {
      scene.screens_.push_back(loadScreen(name, view, "/screens/" + pointerToken(name), viewCount));
    }
    if (const auto initial = json.find("initial"); initial != json.end()) {
      scene.initial_ = textValue(*initial, "/initial", "initial");
      if (scene.screenNamed(scene.initial_) == nullptr) {
        fail("/initial", "no screen is named " + inQuotes(scene.initial_));
      }
    } else {
      scene.initial_ = scene.screens_.front().name;
    }
    return scene;
  } catch (const SceneError& sceneError) {
    error = sceneError.message;
    return std::nullopt;
  }
}

std::optional<ZRLSimScene> ZRLSimScene::loadFile(const std::string& path, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = path + ": cannot be read";
    return std::nullopt;
  }
  std::string content;
  char buffer[65536];
  while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
    content.append(buffer, static_cast<size_t>(file.gcount()));
    if (content.size() > kZRLSimMaximumSceneBytes) break;
  }
  if (file.bad()) {
    error = path + ": cannot be read";
    return std::nullopt;
  }
  auto scene = load(content, error);
  if (!scene) error = path + ": " + error;
  return scene;
}

const ZRLSimScreen* ZRLSimScene::screenNamed(std::string_view name) const {
  for (const ZRLSimScreen& screen : screens_) {
    if (screen.name == name) return &screen;
  }
  return nullptr;
}

std::shared_ptr<UIWindow> ZRLSimScene::show(std::string_view name) const {
  const ZRLSimScreen* screen = screenNamed(name);
  if (screen == nullptr) return nullptr;
  const CGRect bounds = CGRectMake(0, 0, screenSize_.width, screenSize_.height);
  UIScreen::mainScreen()->setBounds(bounds);
  UIScreen::mainScreen()->setScale(screenScale_);
  auto window = std::make_shared<UIWindow>(bounds);
  window->setRootView(screen->rootView);
  window->makeKeyAndVisible();
  ZRLUtilities::removeAllIgnoredViews();
  for (const UIViewPtr& view : screen->ignoredViews)
    ZRLUtilities::addIgnoredView(view);
  return window;
}
