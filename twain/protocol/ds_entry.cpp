// PLV210's only export, DS_Entry, and the library's load and unload: the
// one data source is made when the library is loaded and goes with it. No
// exception or fault inside crosses DS_Entry: it becomes TWRC_FAILURE with
// a condition code.
#include <new>

#include "twain/protocol/data_source.h"
#include "twain/protocol/strings.h"

namespace vk::twain {
namespace {

CDataSource* g_source = nullptr;

void Load() {
  if (g_source) return;
  const bool chinese = ChineseUi(GetUserDefaultLangID());
  g_source = new (std::nothrow) CDataSource(chinese);
}

void Unload() {
  delete g_source;
  g_source = nullptr;
}

}  // namespace
}  // namespace vk::twain

extern "C" {

#if defined(_WIN64)
__declspec(dllexport)
#elif defined(_WIN32)
// Exported by PLV210.def under its undecorated name only.
#else
__attribute__((visibility("default")))
#endif
vk::twain::TW_UINT16 TWAIN_CALL DS_Entry(vk::twain::TW_IDENTITY* origin,
                                         vk::twain::TW_UINT32 dg,
                                         vk::twain::TW_UINT16 dat,
                                         vk::twain::TW_UINT16 msg,
                                         vk::twain::TW_MEMREF data) {
  using namespace vk::twain;
  if (!g_source) return TWRC_FAILURE;
  try {
    return g_source->Entry(origin, dg, dat, msg, data);
  } catch (const std::bad_alloc&) {
    g_source->set_condition(TWCC_LOWMEMORY);
  } catch (...) {
    g_source->set_condition(TWCC_BUMMER);
  }
  return TWRC_FAILURE;
}

}  // extern "C"

#ifdef _WIN32
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    vk::twain::Load();
    return vk::twain::g_source != nullptr;
  }
  if (reason == DLL_PROCESS_DETACH) vk::twain::Unload();
  return TRUE;
}
#else
__attribute__((constructor)) static void LoadDataSource() { vk::twain::Load(); }
__attribute__((destructor)) static void UnloadDataSource() { vk::twain::Unload(); }
#endif
