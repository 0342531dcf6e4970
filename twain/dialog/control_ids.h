// The control identifiers of the source dialog and the settings page.
#pragma once

namespace vk::twain {

// Source dialog (templates 1131 English, 1130 Chinese).
inline constexpr int kDialogEnglish = 1131;
inline constexpr int kDialogChinese = 1130;
inline constexpr int IDC_RESOLUTION = 1132;
inline constexpr int IDC_GROUPBOX = 1133;
inline constexpr int IDC_CAPTURE = 1134;
inline constexpr int IDC_SETTINGS = 1135;
inline constexpr int IDC_BGR = 1136;
inline constexpr int IDC_PREVIEW = 1137;
inline constexpr int IDC_CANCEL = 2;  // IDCANCEL

// Settings page (templates 142 English, 143 Chinese).
inline constexpr int kPageEnglish = 142;
inline constexpr int kPageChinese = 143;
inline constexpr int IDC_COLOR_ENHANCEMENT = 1002;
inline constexpr int IDC_AE = 1003;
inline constexpr int IDC_GAMMA_EDIT = 1004;
inline constexpr int IDC_GAMMA_SPIN = 1005;
inline constexpr int IDC_CONTRAST_EDIT = 1006;
inline constexpr int IDC_CONTRAST_SPIN = 1007;
inline constexpr int IDC_VFLIP = 1008;
inline constexpr int IDC_HFLIP = 1009;
inline constexpr int IDC_MONO = 1010;
inline constexpr int IDC_GAMMA = 1011;
inline constexpr int IDC_CONTRAST = 1012;
inline constexpr int IDC_SATURATION = 1013;
inline constexpr int IDC_SATURATION_EDIT = 1014;
inline constexpr int IDC_SATURATION_SPIN = 1015;
inline constexpr int IDC_TARGET_EDIT = 1016;
inline constexpr int IDC_TARGET = 1017;
inline constexpr int IDC_EXPOSURE = 1018;
inline constexpr int IDC_GAIN = 1019;
inline constexpr int IDC_DEFAULT = 1020;
inline constexpr int IDC_TARGET_SPIN = 1021;
inline constexpr int IDC_EXPOSURE_EDIT = 1022;
inline constexpr int IDC_AWB_ONCE = 1023;
inline constexpr int IDC_EXPOSURE_SPIN = 1024;
inline constexpr int IDC_GAIN_EDIT = 1025;
inline constexpr int IDC_GAIN_SPIN = 1026;
inline constexpr int IDC_RED_EDIT = 1027;
inline constexpr int IDC_SPEED_NORMAL = 1028;
inline constexpr int IDC_SPEED_HIGH = 1029;
inline constexpr int IDC_50HZ = 1030;
inline constexpr int IDC_60HZ = 1031;
inline constexpr int IDC_RED_SPIN = 1032;
inline constexpr int IDC_RED = 1033;
inline constexpr int IDC_GREEN = 1034;
inline constexpr int IDC_BLUE = 1035;
inline constexpr int IDC_GREEN_EDIT = 1036;
inline constexpr int IDC_GREEN_SPIN = 1037;
inline constexpr int IDC_BLUE_EDIT = 1038;
inline constexpr int IDC_BLUE_SPIN = 1039;
inline constexpr int IDC_GROUP_A = 1045;  // .. 1048 for D
inline constexpr int IDC_SAVE = 1049;

// Notifications carried in WM_COMMAND's high word.
inline constexpr int kClicked = 0;         // BN_CLICKED
inline constexpr int kSelectionChange = 1;  // CBN_SELCHANGE
inline constexpr int kEditChange = 0x0300;  // EN_CHANGE

}  // namespace vk::twain
