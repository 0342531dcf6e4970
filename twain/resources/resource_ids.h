/* Resource identifiers of PLV210.ds, shared by the resource script and the
   code (twain/dialog/control_ids.h and twain/protocol/strings.h name the
   same numbers). */
#define IDD_SOURCE_CHINESE 1130
#define IDD_SOURCE 1131
#define IDD_PAGE 142
#define IDD_PAGE_CHINESE 143
#define IDS_INFO 1
#define IDS_MANUFACTURER 2
#define IDS_FAMILY 3
#define IDS_PRODUCT 4
#define IDS_SHEET_CHINESE 5
#define IDS_SHEET 6
#define IDS_PAGE_TITLE 119
#define IDS_PAGE_TITLE_CHINESE 120
