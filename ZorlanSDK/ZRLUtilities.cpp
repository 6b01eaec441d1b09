#include "ZorlanSDK/ZRLUtilities.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <unordered_set>

#include "Platform/Foundation/NSLog.h"
#include "ZorlanSDK/ZRLWindowRects.h"
#include "ZorlanSDK/ZorlanSDK.h"

namespace {

struct IgnoredViews {
  std::mutex mutex;
  std::vector<std::weak_ptr<UIView>> views;
};

IgnoredViews& ignored() {
  static auto* state = new IgnoredViews();  // NOLINT: process lifetime
  return *state;
}

bool debugLogging() {
  return LOG_LEVEL.load() <= 1;
}

std::string describe(const UIView& view) {
  const CGRect frame = view.frame();
  std::string text =
      NSStringWithFormat("<%s: frame = (%g %g; %g %g)", view.className(), frame.origin.x,
                         frame.origin.y, frame.size.width, frame.size.height);
  if (const auto& name = view.accessibilityIdentifier()) text += "; name = " + *name;
  if (view.tag() != 0) text += NSStringWithFormat("; tag = %ld", view.tag());
  if (view.isHidden()) text += "; hidden";
  return text + ">";
}

constexpr size_t kDumpIndentLimit = 64;

// Appends one dump line per node of a tree, depth first, without recursion.
template <typename Node, typename Children, typename Describe>
std::string dumpTree(const Node& root, const std::string& separator, Children children,
                     Describe description) {
  std::string text;
  std::vector<std::pair<const Node*, size_t>> pending{{&root, 0}};
  while (!pending.empty()) {
    const auto [node, depth] = pending.back();
    pending.pop_back();
    text += '\n';
    text += separator;
    // Indentation stops growing past a bound, where the depth is written
    // instead, so that a deep tree's dump stays linear in size.
    for (size_t i = 0; i < std::min(depth, kDumpIndentLimit); ++i)
      text += "| ";
    if (depth > kDumpIndentLimit) {
      text += '(';
      text += std::to_string(depth);
      text += ") ";
    }
    text += description(*node);
    const auto& below = children(*node);
    for (auto child = below.rbegin(); child != below.rend(); ++child) {
      pending.emplace_back(child->get(), depth + 1);
    }
  }
  return text;
}

// Sort keys as a strict weak order: NaN counts as 0.
CGFloat sortKey(CGFloat value) {
  return std::isnan(value) ? 0 : value;
}

}  // namespace

bool ZRLUtilities::isInvalidString(const std::optional<std::string>& text) {
  return !text || text->empty();
}

std::optional<nlohmann::json> ZRLUtilities::dictionaryFromJsonString(
    const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  nlohmann::json parsed = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object()) return std::nullopt;
  return parsed;
}

std::shared_ptr<UIWindow> ZRLUtilities::keyWindow() {
  return UIApplication::sharedApplication().keyWindow();
}

UIViewPtr ZRLUtilities::topView() {
  const auto window = keyWindow();
  return window ? window->rootView() : nullptr;
}

std::vector<UIViewPtr> ZRLUtilities::ignoredViews() {
  IgnoredViews& state = ignored();
  std::lock_guard lock(state.mutex);
  std::vector<UIViewPtr> live;
  for (const auto& held : state.views) {
    if (auto view = held.lock()) live.push_back(std::move(view));
  }
  return live;
}

void ZRLUtilities::addIgnoredView(const UIViewPtr& view) {
  if (!view) return;
  IgnoredViews& state = ignored();
  std::lock_guard lock(state.mutex);
  std::erase_if(state.views, [](const std::weak_ptr<UIView>& held) { return held.expired(); });
  state.views.push_back(view);
}

void ZRLUtilities::removeAllIgnoredViews() {
  IgnoredViews& state = ignored();
  std::lock_guard lock(state.mutex);
  state.views.clear();
}

void ZRLUtilities::constructCustomViewHierarchyForView(const UIViewPtr& view,
                                                       const ZRLViewPtr& root,
                                                       const std::vector<UIViewPtr>& ignoredViews,
                                                       const UIViewPtr& /*auxiliaryTableView*/,
                                                       const UIViewPtr& /*collectionView*/) {
  if (!view || !root) return;
  std::unordered_set<const UIView*> skipped;
  for (const UIViewPtr& ignoredView : ignoredViews)
    skipped.insert(ignoredView.get());
  std::vector<std::pair<const UIView*, ZRLView*>> pending{{view.get(), root.get()}};
  while (!pending.empty()) {
    const auto [parent, wrapper] = pending.back();
    pending.pop_back();
    for (const UIViewPtr& child : parent->subviews()) {
      if (child->isHidden() || skipped.contains(child.get())) continue;
      auto childWrapper = std::make_shared<ZRLView>(child);
      wrapper->subviews().push_back(childWrapper);
      pending.emplace_back(child.get(), childWrapper.get());
    }
  }
}

CGRect ZRLUtilities::windowRectOfView(const UIViewPtr& view) {
  if (!view) return CGRectZero;
  const UIViewPtr superview = view->superview();
  if (!superview) return CGRectZero;
  return superview->convertRect(view->frame(), nullptr);
}

void ZRLUtilities::sortSubViewsWithRootView(const ZRLViewPtr& root) {
  if (!root) return;
  struct Keyed {
    CGFloat top;
    CGFloat left;
    ZRLViewPtr wrapper;
  };
  std::vector<ZRLView*> pending{root.get()};
  std::vector<Keyed> keyed;
  ZRLWindowRects rects;
  while (!pending.empty()) {
    ZRLView* wrapper = pending.back();
    pending.pop_back();
    auto& children = wrapper->subviews();
    keyed.clear();
    for (ZRLViewPtr& child : children) {
      const CGRect rect = rects.windowRectOfView(child->view());
      keyed.push_back({sortKey(rect.origin.y), sortKey(rect.origin.x), std::move(child)});
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
      return a.top < b.top || (a.top == b.top && a.left < b.left);
    });
    for (size_t i = 0; i < children.size(); ++i) {
      children[i] = std::move(keyed[i].wrapper);
      pending.push_back(children[i].get());
    }
  }
}

void ZRLUtilities::logViewWithRoot(const UIViewPtr& root, std::string& separator) {
  if (!root || !debugLogging()) return;
  NSLog("%@",
        dumpTree(
            *root, separator, [](const UIView& view) -> const auto& { return view.subviews(); },
            [](const UIView& view) { return describe(view); }));
}

void ZRLUtilities::logZRLViewWithRoot(const ZRLViewPtr& root, std::string& separator) {
  if (!root || !debugLogging()) return;
  NSLog("%@", dumpTree(
                  *root, separator,
                  [](const ZRLView& wrapper) -> const auto& { return wrapper.subviews(); },
                  [](const ZRLView& wrapper) {
                    // Appended piece by piece: g++ -O3 warns falsely on
                    // chained concatenation here.
                    std::string text = "<ZRLView: ";
                    text += NSStringDescription(wrapper.name());
                    if (wrapper.view()) {
                      text += ' ';
                      text += describe(*wrapper.view());
                    }
                    text += '>';
                    return text;
                  }));
}

std::optional<std::string> ZRLUtilities::getNativeIDForView(const UIViewPtr& view) {
  if (!view) return std::nullopt;
  return view->nativeID();
}
