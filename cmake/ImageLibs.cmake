# JPEG and PNG stills in the MinGW-w64 cross-build from Debian, which ships no
# MinGW builds of libjpeg and libpng: scripts/build_image_libs.sh cross-builds
# the pinned releases once into this build tree (image-libs/), and the SDK's
# find_package(JPEG) and find_package(PNG) then find them, with Debian's
# static MinGW zlib. Native Windows builds (MSYS2, Visual Studio with vcpkg)
# find their own.
option(VKCAM_CROSS_IMAGE_LIBS
       "Cross-build libjpeg-turbo and libpng from Debian's sources for the Windows build" ON)
set(vkcam_image_libs ${CMAKE_BINARY_DIR}/image-libs)
if(NOT VKCAM_CROSS_IMAGE_LIBS)
  # Switched off after a build with them: the writers go, not only the build.
  foreach(variable JPEG_INCLUDE_DIR JPEG_LIBRARY PNG_PNG_INCLUDE_DIR PNG_LIBRARY)
    string(FIND "${${variable}}" "${vkcam_image_libs}/" at)
    if(at EQUAL 0)
      unset(${variable} CACHE)
    endif()
  endforeach()
  return()
endif()

set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/scripts/build_image_libs.sh)
list(GET CMAKE_FIND_ROOT_PATH 0 vkcam_mingw_root)
# A relative toolchain file is found in the build tree, else in the sources.
set(vkcam_toolchain ${CMAKE_TOOLCHAIN_FILE})
if(NOT IS_ABSOLUTE ${vkcam_toolchain})
  if(EXISTS ${CMAKE_BINARY_DIR}/${vkcam_toolchain})
    set(vkcam_toolchain ${CMAKE_BINARY_DIR}/${vkcam_toolchain})
  else()
    set(vkcam_toolchain ${CMAKE_SOURCE_DIR}/${vkcam_toolchain})
  endif()
endif()
execute_process(
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/build_image_libs.sh ${vkcam_toolchain}
          ${vkcam_mingw_root} ${vkcam_image_libs} ${CMAKE_C_COMPILER_LAUNCHER}
  RESULT_VARIABLE vkcam_image_libs_result)
if(NOT vkcam_image_libs_result EQUAL 0)
  message(FATAL_ERROR "libjpeg-turbo and libpng could not be cross-built (see above); "
                      "scripts/bootstrap.sh installs what they need, "
                      "-DVKCAM_CROSS_IMAGE_LIBS=OFF builds without JPEG and PNG stills")
endif()

# The static archives by full path: a DLL import library found instead would
# make VKCAMSDK.dll need zlib1.dll beside it.
set(vkcam_image_prefix ${vkcam_image_libs}/prefix)
set(JPEG_INCLUDE_DIR ${vkcam_image_prefix}/include CACHE PATH "" FORCE)
set(JPEG_LIBRARY ${vkcam_image_prefix}/lib/libjpeg.a CACHE FILEPATH "" FORCE)
set(PNG_PNG_INCLUDE_DIR ${vkcam_image_prefix}/include CACHE PATH "" FORCE)
set(PNG_LIBRARY ${vkcam_image_prefix}/lib/libpng.a CACHE FILEPATH "" FORCE)
set(ZLIB_INCLUDE_DIR ${vkcam_mingw_root}/include CACHE PATH "" FORCE)
set(ZLIB_LIBRARY ${vkcam_mingw_root}/lib/libz.a CACHE FILEPATH "" FORCE)
file(STRINGS ${vkcam_image_prefix}/stamp vkcam_image_versions REGEX "^lib")
list(JOIN vkcam_image_versions ", " vkcam_image_versions)
message(STATUS "JPEG and PNG stills: ${vkcam_image_versions} (${vkcam_image_prefix})")
