#pragma once
// The view toolkit in one include: geometry, colours, fonts, views, windows,
// the application and screen, images and bitmap contexts.

#include "Platform/UIKit/CALayer.h"
#include "Platform/UIKit/CGGeometry.h"
#include "Platform/UIKit/NSBundle.h"
#include "Platform/UIKit/UIButton.h"
#include "Platform/UIKit/UIColor.h"
#include "Platform/UIKit/UIFont.h"
#include "Platform/UIKit/UIGestureRecognizer.h"
#include "Platform/UIKit/UIGraphics.h"
#include "Platform/UIKit/UIImage.h"
#include "Platform/UIKit/UIImageView.h"
#include "Platform/UIKit/UILabel.h"
#include "Platform/UIKit/UIScreen.h"
#include "Platform/UIKit/UITableViewCell.h"
#include "Platform/UIKit/UIView.h"
#include "Platform/UIKit/UIWindow.h"
