/*
 * VKCAMSDK: the camera SDK for the VELMORAN USB 2.0 colour camera.
 *
 * One camera at a time. The usual order of calls:
 *   CameraGetMultiCameraNumber (optional) -> CameraInit -> CameraPlay ->
 *   capture, parameter and recording calls -> CameraStop -> CameraUnInit.
 * The frame callback given to CameraInit runs on the SDK's own thread with
 * each new raw frame; it normally passes the frame to CameraISP and the
 * image returned to CameraDisplayRGB24.
 *
 * Every call returns a 32-bit result:
 *    1  success
 *    0  no camera, or not in the state the call needs
 *   -1  the camera could not be opened
 *   -2  out of memory
 *   -4  unsupported argument or call
 *   -6  a file could not be created
 *
 * Raw frames are width x height bytes of 8-bit Bayer samples, rows top to
 * bottom (even rows green, red; odd rows blue, green). RGB24 images are
 * width x height x 3 bytes, blue, green, red per pixel, no row padding, the
 * bottom row first while vertical flip is off (a bottom-up DIB).
 */
#ifndef VKCAMSDK_H_
#define VKCAMSDK_H_

#include <stdint.h>

#ifdef _WIN32
#include <windows.h>
#if defined(VKCAMSDK_BUILD)
#define VKCAMSDK_API __declspec(dllexport)
#else
#define VKCAMSDK_API __declspec(dllimport)
#endif
#else
typedef struct HWND__* HWND;
#define VKCAMSDK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Called on the SDK's process thread with each new raw frame. */
typedef void (*CameraFrameCallback)(uint8_t* raw_frame);

/* Resolution indexes. */
#define CAMERA_RESOLUTION_2048X1536 0
#define CAMERA_RESOLUTION_1024X768 1
#define CAMERA_RESOLUTION_640X480 2
#define CAMERA_RESOLUTION_ROI 3

/* Capture formats of CameraCaptureFile and CameraSaveCurrentImage. */
#define CAMERA_FILE_JPEG 1
#define CAMERA_FILE_BMP 2
#define CAMERA_FILE_RAW 4
#define CAMERA_FILE_PNG 8

/* ---- Life cycle and capture ---- */

/* Stores the number of cameras present in *count and 0 in *reserved_out;
 * `unused` is not touched. Does not disturb an open camera. */
VKCAMSDK_API int32_t CameraGetMultiCameraNumber(uint8_t* count, void* unused,
                                                uint8_t* reserved_out);
/* Opens camera `camera_number` (1-based) at `resolution`, attaches the
 * preview window (may be null) and the message window (may be null) and
 * starts the camera's stream. Frames reach `callback` after CameraPlay.
 * 1 opened; -1 not opened; -2 out of memory. */
VKCAMSDK_API int32_t CameraInit(CameraFrameCallback callback,
                                int32_t resolution, HWND preview_window,
                                int32_t camera_number, HWND message_window);
/* Stops a running capture, saves the current parameter team and closes the
 * camera. */
VKCAMSDK_API int32_t CameraUnInit(void);
/* Starts the live capture: 1 started, 0 already playing. */
VKCAMSDK_API int32_t CameraPlay(void);
/* Stops the live capture (and an AVI recording): 1 stopped, 0 already
 * stopped. */
VKCAMSDK_API int32_t CameraStop(void);
/* Reads a new frame into `buffer`: mode 0 raw, mode 1 RGB24. Returns the
 * last read's result (1 good frame, 0 bad frame, -1 read failure). */
VKCAMSDK_API int32_t CameraSnap(uint8_t* buffer, int32_t mode);
/* The frame last handed to the callback: mode 0 raw, mode 1 RGB24. */
VKCAMSDK_API int32_t CameraCaptureToBuf(uint8_t* buffer, int32_t mode);
/* The frame last handed to the callback, processed to RGB24; 0 when the
 * capture is not playing. */
VKCAMSDK_API int32_t CameraGrabFrame(uint8_t* rgb24);
/* Runs the image pipeline from `raw` (dead pixels are corrected in place)
 * into `rgb24`. */
VKCAMSDK_API int32_t CameraImageProcess(uint8_t* raw, uint8_t* rgb24);
/* Runs the image pipeline (with automatic exposure and white balance) on
 * `raw` and returns the SDK's own RGB24 image, valid until the next call;
 * feeds a running AVI recording. Null without camera. */
VKCAMSDK_API uint8_t* CameraISP(uint8_t* raw);
/* Draws an RGB24 image into the preview window's client area. */
VKCAMSDK_API void CameraDisplayRGB24(uint8_t* rgb24);
/* The current image size in pixels. */
VKCAMSDK_API int32_t CameraGetImageSize(int32_t* width, int32_t* height);
/* Frames per second delivered to the callback over the last moments;
 * 0 (and 0.0 stored) when stopped. */
VKCAMSDK_API int32_t CameraGetFPS(float* fps);
/* The message posted to the message window for each frame: wParam 0,
 * lParam 1 new frame, 0 bad frame dropped, -1 camera stopped answering. */
VKCAMSDK_API int32_t CameraSetVideoMessage(uint32_t message);

/* ---- Exposure and gains ---- */

/* Automatic exposure: 0 off, other values on. */
VKCAMSDK_API int32_t CameraSetAeState(int32_t state);
VKCAMSDK_API int32_t CameraGetAeState(int32_t* state);
/* Automatic white balance: 0 off, other values on (takes 200 ms). */
VKCAMSDK_API int32_t CameraSetAWBState(int32_t state);
VKCAMSDK_API int32_t CameraGetAWBState(int32_t* state);
/* Brightness automatic exposure aims at (low byte used). */
VKCAMSDK_API int32_t CameraSetAeTarget(int32_t target);
VKCAMSDK_API int32_t CameraGetAeTarget(uint8_t* target);
/* Exposure in sensor rows (16 bits used); see CameraGetRowTime. */
VKCAMSDK_API int32_t CameraSetExposureTime(int32_t rows);
VKCAMSDK_API int32_t CameraGetExposureTime(int32_t* rows);
/* The longest exposure automatic exposure uses, in rows. */
VKCAMSDK_API int32_t CameraGetMaxExposureTime(uint16_t* rows);
/* Microseconds per sensor row. */
VKCAMSDK_API int32_t CameraGetRowTime(int32_t* microseconds);
/* Analog gain index 0..86 (larger values act as 86). */
VKCAMSDK_API int32_t CameraSetAnalogGain(int32_t gain);
VKCAMSDK_API int32_t CameraGetAnalogGain(uint16_t* gain);
/* Digital gains, 64 = 1.0 (16 bits of each used). */
VKCAMSDK_API int32_t CameraSetGain(int32_t red, int32_t green, int32_t blue);
VKCAMSDK_API int32_t CameraGetGain(int32_t* red, int32_t* green,
                                   int32_t* blue);

/* ---- Image pipeline ---- */

/* Gamma, 100 = 1.0 (low byte used). */
VKCAMSDK_API int32_t CameraSetGamma(int32_t gamma);
VKCAMSDK_API int32_t CameraGetGamma(uint8_t* gamma);
/* Contrast around mid-grey, 0 = unchanged (low byte used). */
VKCAMSDK_API int32_t CameraSetContrast(int32_t contrast);
VKCAMSDK_API int32_t CameraGetContrast(uint8_t* contrast);
/* Saturation, 128 = neutral (low byte used). */
VKCAMSDK_API int32_t CameraSetSaturation(int32_t saturation);
VKCAMSDK_API int32_t CameraGetSaturation(uint8_t* saturation);
/* Colour matrix and saturation on (non-zero) or digital gains only. */
VKCAMSDK_API int32_t CameraSetColorEnhancement(int32_t on);
VKCAMSDK_API int32_t CameraGetColorEnhancement(int32_t* on);
/* direction 0 horizontal, 1 vertical; other directions return -4. */
VKCAMSDK_API int32_t CameraSetMirror(int32_t direction, int32_t on);
VKCAMSDK_API int32_t CameraGetMirror(int32_t direction, int32_t* on);
/* Monochrome output. The getter stores the flag and returns -4. */
VKCAMSDK_API int32_t CameraSetMonochrome(int32_t on);
VKCAMSDK_API int32_t CameraGetMonochrome(int32_t* on);
/* Bayer interpolation: 0 fast, 1 and 2 finer (low byte used). */
VKCAMSDK_API int32_t CameraSetB2RGBMode(int32_t mode);
VKCAMSDK_API int32_t CameraGetB2RGBMode(uint8_t* mode);

/* ---- Sensor timing ---- */

/* 0 normal, non-zero fast pixel clock (low byte tested). */
VKCAMSDK_API int32_t CameraSetFrameSpeed(int32_t speed);
VKCAMSDK_API int32_t CameraGetFrameSpeed(uint8_t* speed);
/* Mains frequency of the lighting: 0 = 50 Hz, 1 = 60 Hz. */
VKCAMSDK_API int32_t CameraSetLightFrquency(int32_t frequency);
VKCAMSDK_API int32_t CameraGetLightFrquency(uint8_t* frequency);
/* Trigger modes are not supported: always -4; the getter stores 0. */
VKCAMSDK_API int32_t CameraSetSnapMode(int32_t mode);
VKCAMSDK_API int32_t CameraGetSnapMode(uint8_t* mode);

/* ---- GPIO ---- */

VKCAMSDK_API int32_t CameraSetGpio(uint8_t configuration);
VKCAMSDK_API int32_t CameraReadGpio(uint8_t* pins);
VKCAMSDK_API int32_t CameraWriteGpio(uint8_t pins);

/* ---- Windows ---- */

/* Region of interest for resolution 3, taken at the next CameraInit (x and
 * y are made even, the size clipped to the sensor). Needs no camera. */
VKCAMSDK_API int32_t CameraSetROI(int32_t x, int32_t y, int32_t width,
                                  int32_t height);
/* The region as the camera uses it. */
VKCAMSDK_API int32_t CameraGetROI(uint16_t* x, uint16_t* y, uint16_t* width,
                                  uint16_t* height);
/* The part of the image automatic white balance measures; 0 when it does
 * not lie within the image. */
VKCAMSDK_API int32_t CameraSetWBWindow(int32_t x, int32_t y, int32_t width,
                                       int32_t height);
/* The part of the image drawn in the preview window; 0 when it does not lie
 * within the image. */
VKCAMSDK_API int32_t CameraSetDisplayWindow(int32_t x, int32_t y,
                                            int32_t width, int32_t height);

/* ---- Parameter teams (0..3) ---- */

/* Saves every setting to the team and makes it current: 1 saved. */
VKCAMSDK_API int32_t CameraSaveParameter(int32_t team);
/* Loads the team and makes it current: 1 loaded. */
VKCAMSDK_API int32_t CameraReadParameter(int32_t team);
VKCAMSDK_API int32_t CameraGetCurrentParameterTeam(uint8_t* team);
/* Every setting back to its default. */
VKCAMSDK_API int32_t CameraLoadDefault(void);

/* ---- Dead pixels ---- */

/* The next processed frame is searched for dead pixels (cover the lens);
 * they are stored in the camera and corrected from then on. */
VKCAMSDK_API int32_t CameraEnableDeadPixelCorrection(void);
/* The same search at once on frames read for it: 1 found and stored. */
VKCAMSDK_API int32_t CameraInitDeadPixel(void);

/* ---- Identity data in the camera's memory ---- */

/* Serial number of 1..32 characters: the camera's result; -1 without
 * camera. */
VKCAMSDK_API int32_t CameraWriteSN(const char* text, int32_t count);
VKCAMSDK_API int32_t CameraReadSN(char* text, int32_t count);
/* Always -1. */
VKCAMSDK_API int32_t CameraCheckSN(void);
/* Writes today's date as the lot date. */
VKCAMSDK_API int32_t CameraWriteLotDate(void);
/* The lot date; 0 when none was written. */
VKCAMSDK_API int32_t CameraReadBN(uint16_t* year, uint8_t* month,
                                  uint8_t* day);

/* ---- Still image files ---- */

/* Writes an RGB24 image as a 24-bit BMP: 1, or -6 when the file cannot be
 * created. */
VKCAMSDK_API int32_t SaveBmpFile(const char* path, const uint8_t* rgb24,
                                 int32_t width, int32_t height);
/* Captures a new frame (at `resolution` for this picture only) and writes
 * base_name + ".raw", ".jpg", ".bmp", ".png" as the CAMERA_FILE_ bits ask;
 * JPEG quality 1..100. 0 when the capture is not playing. */
VKCAMSDK_API int32_t CameraCaptureFile(const char* base_name, uint8_t formats,
                                       uint8_t quality, uint8_t resolution);
/* Writes the frame last handed to the callback (PNG not offered). */
VKCAMSDK_API int32_t CameraSaveCurrentImage(const char* base_name,
                                            uint8_t formats, uint8_t quality);

/* ---- AVI recording of the images passing through CameraISP ---- */

/* Shows the installed video compressors. */
VKCAMSDK_API int32_t QueryCodec(void);
/* Chooses the compressor whose description is `description`. */
VKCAMSDK_API int32_t SetCodec(const char* description);
/* The file of the next recording (default: "Video-MMDDhhmmss.avi" beside
 * the program). */
VKCAMSDK_API int32_t SetVideoFilePathName(const char* path);
/* 1 started; 0 already recording. */
VKCAMSDK_API int32_t RecordAviStart(void);
VKCAMSDK_API int32_t RecordAviStop(void);

#ifdef __cplusplus
}
#endif

#endif /* VKCAMSDK_H_ */
