#pragma once
// The identifiers and window rectangles that a capture's layout gives the
// views on screen, and the search for a view by its identifier. One set of
// rules for the serialiser that makes the layout and for whatever finds a
// captured view again later (the UI plug-in's previews), so the two can
// never disagree. Main thread, like the views it reads.

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "Platform/UIKit/CGGeometry.h"
#include "ZorlanSDK/ZRLView.h"
#include "ZorlanSDK/ZorlanSDKExport.h"

// A view's "bounds" in the layout: edges in whole window points.
struct ZORLANSDK_EXPORT ZRLLayoutBounds {
  int32_t top = 0;
  int32_t left = 0;
  int32_t bottom = 0;
  int32_t right = 0;
  friend bool operator==(const ZRLLayoutBounds&, const ZRLLayoutBounds&) = default;
};

class ZORLANSDK_EXPORT ZRLViewIdentifiers {
 public:
  // The identifier of the root of the layout (never written into a node).
  static constexpr const char* kRootIdentifier = "ZRL";

  // The identifier of a child wrapper from its parent's identifier and its
  // first position among the parent's children: "[zrl_ID_zrl]" for a React
  // Native view whose native ID begins with "ats_", else the parent's
  // identifier, the child's name and its tag (cells) or position.
  static std::string identifierOfChild(const ZRLView& child, const std::string& parentIdentifier,
                                       size_t index);

  // The bounds of a view at a window rectangle: a negative x or y replaced
  // by the origin of the view's bounds, each edge truncated to a 32-bit
  // integer (saturating; NaN gives 0), right and bottom from the truncated
  // left and top plus the rectangle's width and height.
  static ZRLLayoutBounds boundsOfView(const UIViewPtr& view, CGRect windowRect);

  // The wrapper tree of the current screen as a capture reads it: the top
  // view wrapped, the host's tree built below it and put into reading
  // order. Null when there is no top view.
  static ZRLViewPtr screenTree();

  // The first view on screen, in the layout's order, whose identifier is
  // the given one, with its bounds; nothing when none is.
  struct Found {
    UIViewPtr view;
    ZRLLayoutBounds bounds;
  };
  static std::optional<Found> viewWithIdentifier(const std::string& identifier);

  // Visits the wrappers below a root depth first, in the order of their
  // subviews, each with its identifier; trees of any depth cost heap, not
  // call stack. The root itself is not visited.
  class Walk {
   public:
    Walk(const ZRLView& root, std::string rootIdentifier);
    // Moves to the next wrapper; false at the end.
    bool next();
    const ZRLView& view() const { return *current_; }
    const std::string& identifier() const { return identifier_; }
    // 1 for the root's children, 2 for theirs, and so on.
    size_t depth() const { return depth_; }

   private:
    // First positions of the children of a wrapper; a child held twice
    // keeps the position where it first appears.
    class FirstPositions {
     public:
      explicit FirstPositions(const std::vector<ZRLViewPtr>& children);
      size_t of(const std::vector<ZRLViewPtr>& children, size_t index) const;

     private:
      static constexpr size_t kDirectSearch = 32;
      std::unordered_map<const ZRLView*, size_t> positions_;
    };
    struct Frame {
      const ZRLView* parent;
      std::string identifier;
      FirstPositions positions;
      size_t next = 0;
    };
    std::vector<Frame> frames_;
    const ZRLView* current_ = nullptr;
    std::string identifier_;
    size_t depth_ = 0;
    bool descend_ = false;  // the current wrapper's children come next
  };
};
