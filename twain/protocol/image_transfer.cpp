// The image triplets: information, layout, transfer set-ups, the native,
// memory and file transfers, and the palette query.
#include <cstring>

#include "platform/commdlg.h"
#include "twain/protocol/data_source.h"

namespace vk::twain {
namespace {

constexpr size_t kDibHeader = sizeof(BITMAPINFOHEADER);
constexpr uint32_t kFileHeader = 14;

size_t DibStride(int width) { return ((static_cast<size_t>(width) * 24 + 31) >> 5) * 4; }

TW_FIX32 Pixels(int n) { return ToFix32(static_cast<float>(n)); }

}  // namespace

void CDataSource::ImageSize(int* width, int* height) {
  *width = *height = 0;
  if (context_ && context_->camera) context_->camera->GetImageSize(width, height);
}

// The camera, once it has an image: enabled without its dialog the source
// announces a transfer before the camera's first image, so a transfer asked
// for at once waits for it (while the capture gets on: a camera that never
// delivers fails the transfer). Null without a camera or an image.
CUSBDevice* CDataSource::CameraWithImage() {
  CUSBDevice* camera = context_ ? context_->camera.get() : nullptr;
  if (!camera || !camera->WaitForImage(first_image_wait_ms_)) return nullptr;
  return camera;
}

TW_UINT16 CDataSource::ImageInfo(TW_UINT16 msg, TW_IMAGEINFO* info) {
  if (msg != MSG_GET) return Fail(TWCC_BADPROTOCOL);
  if (!InStates(6, 6)) return Fail(TWCC_SEQERROR);
  // The image's size comes with the camera's first image, which an
  // application that asks at once, as it announced, waits for; without an
  // image there is nothing to describe.
  if (!CameraWithImage()) return Fail(TWCC_OPERATIONERROR);
  int width, height;
  ImageSize(&width, &height);
  *info = {};
  info->XResolution = info->YResolution = ToFix32(0.0f);
  info->ImageWidth = static_cast<uint16_t>(width);
  info->ImageLength = static_cast<uint16_t>(height);
  info->SamplesPerPixel = 3;
  info->BitsPerSample[0] = info->BitsPerSample[1] = info->BitsPerSample[2] = 8;
  info->BitsPerSample[3] = 8;
  info->BitsPerPixel = 24;
  info->Planar = 0;
  info->PixelType = TWPT_RGB;
  info->Compression = 0;
  return TWRC_SUCCESS;
}

TW_UINT16 CDataSource::ImageLayout(TW_UINT16 msg, TW_IMAGELAYOUT* layout) {
  switch (msg) {
    case MSG_GET:
    case MSG_GETCURRENT:
    case MSG_GETDEFAULT: {
      int width, height;
      ImageSize(&width, &height);
      *layout = {};
      layout->Frame = {Pixels(0), Pixels(0), Pixels(width), Pixels(height)};
      return TWRC_SUCCESS;
    }
    case MSG_SET:
    case MSG_RESET: return TWRC_SUCCESS;
    default: return Fail(TWCC_BADPROTOCOL);
  }
}

TW_UINT16 CDataSource::SetupMemory(TW_UINT16 msg, TW_SETUPMEMXFER* setup) {
  if (msg != MSG_GET) return Fail(TWCC_BADPROTOCOL);
  if (!InStates(4, 6)) return Fail(TWCC_SEQERROR);
  // With a transfer announced, the buffer asked for holds the image: its
  // size comes with the first image.
  if (state_ == 6) CameraWithImage();
  int width, height;
  ImageSize(&width, &height);
  const auto bytes = static_cast<TW_UINT32>(width * height * 3);
  *setup = bytes == 0 ? TW_SETUPMEMXFER{16384, 65535, 65535}
                      : TW_SETUPMEMXFER{bytes, bytes, bytes};
  return TWRC_SUCCESS;
}

TW_UINT16 CDataSource::SetupFile(TW_UINT16 msg, TW_SETUPFILEXFER* setup) {
  const bool ask = msg == MSG_GET || msg == MSG_GETCURRENT || msg == MSG_GETDEFAULT;
  if (!ask && msg != MSG_SET) return Fail(TWCC_BADPROTOCOL);
  if (!InStates(4, 6)) return Fail(TWCC_SEQERROR);
  if (ask) {
    char file[MAX_PATH] = {};
    OPENFILENAMEA dialog = {};
    dialog.lStructSize = sizeof(dialog);
    dialog.lpstrFilter = "Image Files\0*.bmp\0All Files\0*.*\0";
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file;
    dialog.nMaxFile = MAX_PATH;
    dialog.lpstrTitle = "Save Image File";
    dialog.lpstrDefExt = ".bmp";
    dialog.Flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST |
                   OFN_NOREADONLYRETURN;
    if (!GetSaveFileNameA(&dialog)) return TWRC_FAILURE;
    std::memset(setup->FileName, 0, sizeof(setup->FileName));
    std::memcpy(setup->FileName, file, strnlen(file, sizeof(setup->FileName) - 1));
    setup->Format = TWFF_BMP;
    setup->VRefNum = 0;
    return TWRC_SUCCESS;
  }
  char name[256] = {};
  std::memcpy(name, setup->FileName, strnlen(setup->FileName, sizeof(name) - 1));
  HANDLE file = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return TWRC_FAILURE;
  CloseHandle(file);
  std::memcpy(transfer_file_, name, sizeof(name));
  return TWRC_SUCCESS;
}

// A 24-bit DIB of the latest image in the manager's memory (movable global
// memory with a 1.x manager), handed over locked once; null without an
// image or memory. Its pixels are as its header says: rows bottom-up, blue,
// green, red, whatever the BGR option (which shapes the memory transfer).
HGLOBAL CDataSource::NativeImage() {
  CUSBDevice* camera = CameraWithImage();
  if (!camera) return nullptr;
  int width, height;
  ImageSize(&width, &height);
  const size_t pixels = DibStride(width) * height;
  HGLOBAL block = manager_.Allocate(kDibHeader + pixels);
  auto* p = static_cast<uint8_t*>(manager_.Lock(block));
  if (!p) {
    manager_.Free(block);
    return nullptr;
  }
  BITMAPINFOHEADER header = {};
  header.biSize = kDibHeader;
  header.biWidth = width;
  header.biHeight = height;
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = BI_RGB;
  header.biSizeImage = static_cast<DWORD>(pixels);
  std::memcpy(p, &header, kDibHeader);
  if (!camera->CopyLatestDib(p + kDibHeader, pixels)) {
    manager_.Unlock(block);
    manager_.Free(block);
    return nullptr;
  }
  return block;
}

TW_UINT16 CDataSource::NativeTransfer(TW_UINT16 msg, TW_HANDLE* handle) {
  if (msg != MSG_GET) return Fail(TWCC_BADPROTOCOL);
  if (!InStates(6, 6)) return Fail(TWCC_SEQERROR);
  // No image (no camera yet, or no memory) is a failed transfer, as for the
  // memory transfer: the application is not handed a null image as done.
  // The handle is written whole: TWAIN's packing aligns it to 2 bytes only.
  const TW_HANDLE image = NativeImage();
  std::memcpy(handle, &image, sizeof(image));
  if (image == nullptr) return Fail(TWCC_OPERATIONERROR);
  state_ = 7;
  return TWRC_XFERDONE;
}

TW_UINT16 CDataSource::MemoryTransfer(TW_IMAGEMEMXFER* t) {
  CUSBDevice* camera = CameraWithImage();  // before the size: it comes with it
  int width, height;
  ImageSize(&width, &height);
  t->Compression = 0;
  t->BytesPerRow = static_cast<TW_UINT32>(width * 3);
  t->Columns = static_cast<TW_UINT32>(width);
  t->Rows = static_cast<TW_UINT32>(height);
  t->XOffset = t->YOffset = 0;
  const TW_UINT32 bytes = t->BytesPerRow * t->Rows;
  if (t->Memory.Length < bytes) {
    HGLOBAL block = t->Memory.TheMem ? GlobalHandle(t->Memory.TheMem) : nullptr;
    if (!block) return Fail(TWCC_OPERATIONERROR);
    GlobalUnlock(block);
    HGLOBAL larger = GlobalReAlloc(block, bytes, GMEM_MOVEABLE | GMEM_ZEROINIT);
    void* memory = larger ? GlobalLock(larger) : nullptr;
    if (!memory) return Fail(TWCC_OPERATIONERROR);
    t->Memory.TheMem = memory;
    t->Memory.Length = bytes;
  }
  if (!camera || !camera->CopyLatestImage(static_cast<uint8_t*>(t->Memory.TheMem),
                                          t->Memory.Length))
    return Fail(TWCC_OPERATIONERROR);
  t->BytesWritten = bytes;
  state_ = 7;
  return TWRC_XFERDONE;
}

TW_UINT16 CDataSource::FileTransfer(TW_UINT16 msg) {
  if (msg != MSG_GET) return Fail(TWCC_BADPROTOCOL);
  HGLOBAL block = NativeImage();
  if (!block) return Fail(TWCC_OPERATIONERROR);
  const auto* dib = static_cast<const uint8_t*>(manager_.Lock(block));
  BITMAPINFOHEADER header;
  std::memcpy(&header, dib, kDibHeader);
  HANDLE file = CreateFileA(transfer_file_, GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  bool written = file != INVALID_HANDLE_VALUE;
  if (written) {
    const uint32_t size = static_cast<uint32_t>(
        (header.biBitCount * header.biWidth + 31) / 32 * header.biHeight * 4 + 54);
    uint8_t file_header[kFileHeader] = {'B', 'M'};
    std::memcpy(file_header + 2, &size, 4);
    const uint32_t offset = header.biClrUsed * 4 + 54;
    std::memcpy(file_header + 10, &offset, 4);
    DWORD done = 0;
    written = WriteFile(file, file_header, kFileHeader, &done, nullptr) && done == kFileHeader;
    written = written && WriteFile(file, dib, size - kFileHeader, &done, nullptr) &&
              done == size - kFileHeader;
    written = CloseHandle(file) && written;  // a full disk is a failed transfer
  }
  manager_.Unlock(block);
  manager_.Unlock(block);  // handed over locked once
  manager_.Free(block);
  if (!written) return Fail(TWCC_OPERATIONERROR);
  state_ = 7;
  condition_ = TWCC_SUCCESS;
  return TWRC_XFERDONE;
}

TW_UINT16 CDataSource::Palette(TW_UINT16 msg, TW_PALETTE8* palette) {
  if (msg != MSG_GET) return Fail(TWCC_BADPROTOCOL);
  if (!InStates(4, 6)) return Fail(TWCC_SEQERROR);
  palette->NumColors = 0;
  palette->PaletteType = TWPA_CMY;
  return TWRC_SUCCESS;
}

}  // namespace vk::twain
