if(VKCAM_SANITIZE)
  string(REPLACE ";" "," _vkcam_sanitizers "${VKCAM_SANITIZE}")
  add_compile_options(-fsanitize=${_vkcam_sanitizers} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_vkcam_sanitizers})
endif()
