// The Video for Windows file and compressor calls that the SDK records
// with, as <vfw.h> declares them, implemented by libvkvfw on Linux: real
// RIFF AVI files (OpenDML beyond 1 GiB) and the installed compressors
// "Xvid MPEG-4 Codec" ('xvid', libxvidcore), "Motion JPEG" ('MJPG',
// libjpeg) and uncompressed frames ('DIB ').
#pragma once

#include "platform/host/win32_types.h"

#define VKVFW_API __attribute__((visibility("default")))

typedef LONG HRESULT;
typedef uint16_t WCHAR;
typedef struct IAVIFile* PAVIFILE;
typedef struct IAVIStream* PAVISTREAM;
typedef struct HIC__* HIC;
typedef struct _GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
} CLSID, *LPCLSID;
typedef DWORD FOURCC;

#define mmioFOURCC(c0, c1, c2, c3)                                  \
  ((DWORD)(BYTE)(c0) | ((DWORD)(BYTE)(c1) << 8) |                   \
   ((DWORD)(BYTE)(c2) << 16) | ((DWORD)(BYTE)(c3) << 24))
#define streamtypeVIDEO mmioFOURCC('v', 'i', 'd', 's')
#define ICTYPE_VIDEO mmioFOURCC('v', 'i', 'd', 'c')
#define ICMODE_QUERY 4
#define OF_WRITE 0x00000001
#define OF_CREATE 0x00001000
#define AVIIF_KEYFRAME 0x00000010L
#define AVIERR_OK 0
#define AVIERR_UNSUPPORTED ((HRESULT)0x80044065)
#define AVIERR_BADFORMAT ((HRESULT)0x80044066)
#define AVIERR_MEMORY ((HRESULT)0x80044067)
#define AVIERR_FILEWRITE ((HRESULT)0x8004406D)
#define AVIERR_FILEOPEN ((HRESULT)0x8004406E)
#define AVIERR_NOCOMPRESSOR ((HRESULT)0x80044071)
#define AVIERR_BADPARAM ((HRESULT)0x8004406A)
#define ICERR_OK 0L

typedef struct _AVISTREAMINFOA {
  DWORD fccType;
  DWORD fccHandler;
  DWORD dwFlags;
  DWORD dwCaps;
  WORD wPriority;
  WORD wLanguage;
  DWORD dwScale;
  DWORD dwRate;
  DWORD dwStart;
  DWORD dwLength;
  DWORD dwInitialFrames;
  DWORD dwSuggestedBufferSize;
  DWORD dwQuality;
  DWORD dwSampleSize;
  RECT rcFrame;
  DWORD dwEditCount;
  DWORD dwFormatChangeCount;
  char szName[64];
} AVISTREAMINFOA, *LPAVISTREAMINFOA;

typedef struct {
  DWORD fccType;
  DWORD fccHandler;
  DWORD dwKeyFrameEvery;
  DWORD dwQuality;
  DWORD dwBytesPerSecond;
  DWORD dwFlags;
  LPVOID lpFormat;
  DWORD cbFormat;
  LPVOID lpParms;
  DWORD cbParms;
  DWORD dwInterleaveEvery;
} AVICOMPRESSOPTIONS, *LPAVICOMPRESSOPTIONS;

typedef struct {
  DWORD dwSize;
  DWORD fccType;
  DWORD fccHandler;
  DWORD dwFlags;
  DWORD dwVersion;
  DWORD dwVersionICM;
  WCHAR szName[16];
  WCHAR szDescription[128];
  WCHAR szDriver[128];
} ICINFO;

static_assert(sizeof(AVISTREAMINFOA) == 140);
static_assert(sizeof(ICINFO) == 568);

extern "C" {

VKVFW_API void AVIFileInit();
VKVFW_API void AVIFileExit();
VKVFW_API HRESULT AVIFileOpenA(PAVIFILE* file, LPCSTR name, UINT mode,
                               LPCLSID handler);
VKVFW_API HRESULT AVIFileCreateStreamA(PAVIFILE file, PAVISTREAM* stream,
                                       LPAVISTREAMINFOA info);
VKVFW_API HRESULT AVIMakeCompressedStream(PAVISTREAM* compressed,
                                          PAVISTREAM source,
                                          AVICOMPRESSOPTIONS* options,
                                          LPCLSID handler);
VKVFW_API HRESULT AVIStreamSetFormat(PAVISTREAM stream, LONG position,
                                     LPVOID format, LONG size);
VKVFW_API HRESULT AVIStreamWrite(PAVISTREAM stream, LONG start, LONG samples,
                                 LPVOID buffer, LONG size, DWORD flags,
                                 LONG* samples_written, LONG* bytes_written);
VKVFW_API ULONG AVIStreamRelease(PAVISTREAM stream);
VKVFW_API ULONG AVIFileRelease(PAVIFILE file);

VKVFW_API BOOL ICInfo(DWORD type, DWORD handler, ICINFO* info);
VKVFW_API HIC ICOpen(DWORD type, DWORD handler, UINT mode);
VKVFW_API LRESULT ICGetInfo(HIC compressor, ICINFO* info, DWORD size);
VKVFW_API LRESULT ICClose(HIC compressor);

}  // extern "C"

#define AVIFileOpen AVIFileOpenA
#define AVIFileCreateStream AVIFileCreateStreamA
#define AVISTREAMINFO AVISTREAMINFOA
