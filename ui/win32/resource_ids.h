// The ids of the program's resources, as resources/pivaro.rc numbers them:
// the one dialog template every window is made from, the icon and the
// images. An image drawn for 150 % and 200 % screens has the same id plus
// 1000 and 2000 (LoadPngResource picks it).
#pragma once

namespace resource_id {

constexpr int kTemplateId = 101;
constexpr int kIconId = 102;
constexpr int kCloseStrip = 106;
constexpr int kMinimizeStrip = 107;
constexpr int kLogoPng = 108;
constexpr int kWarningPng = 109;
constexpr int kSuccessPng = 110;
constexpr int kButtonStrip = 111;
constexpr int kLoadingStrip = 112;
constexpr int kUpdateStrip = 113;
constexpr int kWideButtonStrip = 114;
constexpr int kUpdatePng = 115;
constexpr int kShadowPng = 116;
constexpr int kLaserPng = 118;

}  // namespace resource_id
