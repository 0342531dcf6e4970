/* A small application of VKCAMSDK: opens the first camera at 640 x 480,
 * runs the image pipeline on every frame for two seconds, reports the
 * frame rate and the mean brightness of the last image, and closes. */
#define _POSIX_C_SOURCE 200809L
#include <VKCAMSDK.h>
#include <stdatomic.h>
#include <stdio.h>
#include <time.h>

static atomic_int frames;
static atomic_uint last_mean;

static void on_frame(uint8_t* raw) {
  int32_t width = 0, height = 0;
  uint8_t* rgb = CameraISP(raw);
  CameraGetImageSize(&width, &height);
  unsigned long long sum = 0;
  for (int32_t i = 0; i < width * height * 3; i += 3 * 97) sum += rgb[i + 1];
  atomic_store(&last_mean, (unsigned)(sum / (width * height / 97 + 1)));
  atomic_fetch_add(&frames, 1);
}

static void sleep_ms(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}

int main(void) {
  uint8_t count = 0, reserved = 0;
  CameraGetMultiCameraNumber(&count, NULL, &reserved);
  printf("cameras present: %u\n", count);
  if (count == 0) return 1;
  if (CameraInit(on_frame, CAMERA_RESOLUTION_640X480, NULL, 1, NULL) != 1) {
    fprintf(stderr, "capture: the camera could not be opened\n");
    return 1;
  }
  CameraPlay();
  sleep_ms(2000);
  float fps = 0;
  CameraGetFPS(&fps);
  CameraStop();
  CameraUnInit();
  printf("%d frames, %.1f frames/s, mean green %u\n", atomic_load(&frames), fps,
         atomic_load(&last_mean));
  return atomic_load(&frames) > 0 ? 0 : 1;
}
