/* Ids of the driver's resources: dialog template 1000 and its controls.
 * Plain #defines only: read by the resource compiler and by C++. */
#ifndef ORVELLA_RESOURCE_H
#define ORVELLA_RESOURCE_H

#define IDD_CAMERA_PROP 1000

#define IDC_IMAGE_URL 1000
#define IDC_LOG_LEVEL 1001
#define IDC_LOG_INTO_FILE 1002
#define IDC_LOG_LEVEL_RANGE 1003
#define IDC_HEIGHT 1004
#define IDC_WIDTH 1005
#define IDC_REFRESH_RATE 1006
#define IDC_GRAYSCALE 1007
#define IDC_REFRESH_RATE_UNIT 1008
#define IDC_REFRESH_RATE_RANGE 1009
#define IDC_REFRESH_RATE_UNIT_RANGE 1010

#endif
