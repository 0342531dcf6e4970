// The data source's string table (its resources on Windows).
#pragma once

namespace vk::twain {

inline constexpr int kStringInfo = 1;
inline constexpr int kStringManufacturer = 2;
inline constexpr int kStringFamily = 3;
inline constexpr int kStringProduct = 4;
inline constexpr int kStringSheetCaptionChinese = 5;
inline constexpr int kStringSheetCaption = 6;
inline constexpr int kStringPageTitle = 119;
inline constexpr int kStringPageTitleChinese = 120;

// The Chinese dialogs are for Simplified Chinese (0x0804) alone.
inline bool ChineseUi(unsigned short language) { return language == 0x0804; }

// The text of string `id`, or "" when there is none.
inline const char* ResourceString(int id) {
  switch (id) {
    case kStringInfo: return "PLV210";
    case kStringManufacturer: return "VELMORAN";
    case kStringFamily: return "PLV210";
    case kStringProduct: return "PLV210 USB2.0 Camera";
    case kStringSheetCaptionChinese: return "PLV210 \xE8\xAE\xBE\xE7\xBD\xAE";  // 设置
    case kStringSheetCaption: return "PLV210 Settings";
    case kStringPageTitle: return " SETUP";
    case kStringPageTitleChinese: return " \xE8\xAE\xBE\xE7\xBD\xAE";
    default: return "";
  }
}

}  // namespace vk::twain
