// vkcam preview: the live picture in a window. The SDK draws into a host
// picture window; with SDL2 each drawn picture is shown on screen, without
// it (or without a display) the preview runs headless and reports what it
// drew.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "tools/vkcam/commands.h"
#include "tools/vkcam/session.h"

#ifdef _WIN32

namespace vk::tools {
int Preview(const Options&) {
  std::fprintf(stderr, "vkcam: preview needs the host platform's windows\n");
  return 2;
}
}  // namespace vk::tools

#else

#include "platform/host/host.h"
#ifdef VKCAM_HAVE_SDL2
#include <SDL.h>
#endif

namespace vk::tools {
namespace {

using Clock = std::chrono::steady_clock;

// The newest picture the SDK drew, handed from the process thread to the
// window's thread.
struct LatestPicture {
  std::mutex mutex;
  host::WindowPicture picture;
  bool fresh = false;
};

#ifdef VKCAM_HAVE_SDL2
// Shows pictures until the window is closed, Escape is pressed or time is
// up; false when no display can be opened.
bool ShowOnScreen(LatestPicture& latest, int width, int height, double seconds) {
  if (SDL_Init(SDL_INIT_VIDEO) != 0) return false;
  SDL_Window* window = SDL_CreateWindow("vkcam preview", SDL_WINDOWPOS_CENTERED,
                                        SDL_WINDOWPOS_CENTERED, width, height, 0);
  SDL_Renderer* renderer = window ? SDL_CreateRenderer(window, -1, 0) : nullptr;
  SDL_Texture* texture =
      renderer ? SDL_CreateTexture(renderer, SDL_PIXELFORMAT_BGR24,
                                   SDL_TEXTUREACCESS_STREAMING, width, height)
               : nullptr;
  const bool shown = texture != nullptr;
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  for (bool running = shown; running && Clock::now() < end;) {
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
      if (event.type == SDL_QUIT ||
          (event.type == SDL_KEYDOWN && event.key.keysym.sym == SDLK_ESCAPE))
        running = false;
    }
    {
      std::lock_guard lock(latest.mutex);
      if (latest.fresh && latest.picture.width == width) {
        SDL_UpdateTexture(texture, nullptr, latest.picture.bgr.data(), width * 3);
        latest.fresh = false;
      }
    }
    SDL_RenderCopy(renderer, texture, nullptr, nullptr);
    SDL_RenderPresent(renderer);
    SDL_Delay(10);
  }
  if (texture) SDL_DestroyTexture(texture);
  if (renderer) SDL_DestroyRenderer(renderer);
  if (window) SDL_DestroyWindow(window);
  SDL_Quit();
  return shown;
}
#else
bool ShowOnScreen(LatestPicture&, int, int, double) { return false; }
#endif

}  // namespace

int Preview(const Options& options) {
  int width = 800, height = 600;
  std::sscanf(options.Text("window", "800x600").c_str(), "%dx%d", &width, &height);
  HWND window = host::CreatePictureWindow(width, height);
  LatestPicture latest;
  host::SetPicturePresenter(window, [&](const host::WindowPicture& p) {
    std::lock_guard lock(latest.mutex);
    latest.picture = p;
    latest.fresh = true;
  });
  const double seconds = options.Number("seconds", 1e9);
  int status = 0;
  {
    Session session(options, window);
    if (!session.ok()) {
      status = 1;
    } else if (!ShowOnScreen(latest, width, height, seconds)) {
      const double headless = options.Has("seconds") ? seconds : 3;
      std::printf("vkcam: no display; previewing headless for %.1f s\n", headless);
      std::this_thread::sleep_for(std::chrono::duration<double>(headless));
    }
    if (status == 0)
      std::printf("%llu frames drawn into %d x %d; %s\n",
                  static_cast<unsigned long long>(host::PictureOf(window).draws),
                  width, height, session.ControlState().c_str());
  }
  host::SetPicturePresenter(window, nullptr);
  host::DestroyMessageWindow(window);
  return status;
}

}  // namespace vk::tools

#endif
